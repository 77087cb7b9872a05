#include "playback/CvMetronomeTask.h"

#include <algorithm>
#include <chrono>

#include "platform/platform.h"
#include "playback/CvMidiTaskPlayer.h"
#include "playback/CvPlaybackState.h"
#include "playback/CvSongTiming.h"
#include "service/CvLog.h"

CvMetronomeTask* g_metronome = nullptr;

namespace {

const char* const kClickFile = "countoff\\hihat_short_loud.wav";

}  // namespace

CvMetronomeTask::CvMetronomeTask() : audio(std::make_shared<CvAudioPlay>(kClickFile)) {}

void CvMetronomeTask::PrepareMetronome() {
  const CvSongParameters& song = g_player->song;
  interval = ComputeTickSpacing(song.tempo, song.beats, song.beatType);
  beatCount = MetronomeBeatCount(song);
  audio = std::make_shared<CvAudioPlay>(
      platform::joinPath(platform::shippedFilesFolder(), kClickFile));
}

void CvMetronomeTask::RunMetronome(uint64_t performance,
                                   std::chrono::steady_clock::time_point firstBeat) {
  platform::nameThread("cv-metronome");
  // At most half a beat ahead, so that each click has the rest of its beat.
  auto ahead = std::min<std::chrono::steady_clock::duration>(
      kSoundQueueAhead, std::chrono::milliseconds(interval) / 2);
  auto beat = [&](int32_t n) {
    return firstBeat + std::chrono::milliseconds(static_cast<int64_t>(interval) * (n - 1));
  };
  for (int32_t n = 1; n <= beatCount; ++n) {
    // Sleeps through the count-off, waking at once on a stop.
    WaitWhilePlaying(performance, beat(n) - ahead);
    if (!IsPlaying(performance)) {
      cvlog::info("[CvMetronomeTask] - BREAK BECAUSE IS_PLAY_MUSIC=FALSE");
      StopCaptureOf(performance);
      return;
    }
    audio->soundAt = beat(n);
    audio->performance = performance;
    audio->duration = static_cast<int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               beat(n + 1) - ahead - std::chrono::steady_clock::now())
                                               .count());
    if (!audio->OpenFile()) cvlog::error("[CvAudioPlay] can not open audio file");
    audio->Play();
    audio->CloseFile();
  }
}
