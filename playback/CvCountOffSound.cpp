#include "playback/CvCountOffSound.h"

#include <cmath>

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"
#include "platform/platform.h"
#include "playback/CvCountOffInfo.h"
#include "playback/CvMidiTaskPlayer.h"
#include "playback/CvPlaybackState.h"
#include "playback/CvSongTiming.h"
#include "service/CvLog.h"

namespace {

struct CountOffWord {
  int32_t key;
  const char* file;
};

const CountOffWord countOffWordTable[] = {
    {1, "countoff\\one.wav"},        {2, "countoff\\two.wav"},
    {3, "countoff\\three.wav"},      {4, "countoff\\four.wav"},
    {5, "countoff\\five.wav"},       {6, "countoff\\six.wav"},
    {7, "countoff\\seven.wav"},      {8, "countoff\\eight.wav"},
    {9, "countoff\\nine.wav"},       {10, "countoff\\ten.wav"},
    {11, "countoff\\eleven.wav"},    {12, "countoff\\twelve.wav"},
    {13, "countoff\\thirteen.wav"},  {14, "countoff\\fourteen.wav"},
    {15, "countoff\\fifteen.wav"},   {16, "countoff\\sixteen.wav"},
    {COUNT_OFF_HIHAT, "countoff\\hihat_short_loud.wav"},
    {COUNT_OFF_SET, "countoff\\set.wav"},
    {COUNT_OFF_GO, "countoff\\go.wav"},
};

const char* const kGoFile = "countoff\\go.wav";
const std::chrono::milliseconds kShortestWord(80);

// The word of tick i (1-based) in 2/2, counted in half notes with hi-hats between.
int32_t CutTimeWord(int32_t i, int32_t startBeat) {
  if (startBeat == 1) {
    if (i == 1) return COUNT_OFF_SET;
    if (i == 3) return COUNT_OFF_GO;
    return COUNT_OFF_HIHAT;
  }
  if (i == 1) return 1;
  if (i == 3) return COUNT_OFF_SET;
  if (i == 5) return COUNT_OFF_GO;
  return COUNT_OFF_HIHAT;
}

// A word file's full path: in the program's folder.
std::string WordPath(const std::string& word) {
  return platform::joinPath(platform::shippedFilesFolder(), word);
}

}  // namespace

const char* CountOffWordFile(int32_t key) {
  for (const CountOffWord& word : countOffWordTable) {
    if (word.key == key) return word.file;
  }
  return nullptr;
}

CvCountOffSound::CvCountOffSound(int32_t tickSpacing) : tickSpacing(tickSpacing) {}

void CvCountOffSound::BuildCountOffWords(int32_t count, int32_t beats, int32_t beatType,
                                         int32_t startBeat) {
  countOffAudioList.clear();
  bool cutTime = beats == 2 && beatType == 2;
  bool compound = IsCompoundMeter(beats, beatType);
  // In compound time only every third tick is counted; the others are hi-hats.
  int32_t groups = compound ? static_cast<int32_t>(std::ceil(static_cast<float>(count) / 3.0f))
                            : count;
  int32_t perMeasure = compound ? beats / 3 : beats;
  for (int32_t i = 1; i <= count; ++i) {
    int32_t key;
    if (cutTime) {
      key = CutTimeWord(i, startBeat);
    } else {
      float x = compound ? static_cast<float>(i + 2) / 3.0f : static_cast<float>(i);
      int32_t whole = static_cast<int32_t>(x);
      if (x != static_cast<float>(whole)) {
        key = COUNT_OFF_HIHAT;
      } else if (whole == groups) {
        key = COUNT_OFF_GO;
      } else if (whole == groups - 1) {
        key = COUNT_OFF_SET;
      } else if (whole <= perMeasure) {
        key = whole;
      } else {
        key = whole - ((whole - 1) / perMeasure) * perMeasure;
      }
    }
    const char* file = CountOffWordFile(key);
    if (file != nullptr) countOffAudioList.push_back(file);
  }
}

void CvCountOffSound::HoldOutput() {
  if (!countOffAudioList.empty()) platform::waveOpen(WordPath(countOffAudioList.front()));
}

void CvCountOffSound::ReleaseOutput() {
  if (!countOffAudioList.empty()) platform::waveClose(WordPath(countOffAudioList.front()));
}

bool CvCountOffSound::PlayCountOff(uint64_t performance, std::chrono::steady_clock::time_point start) {
  const CvSongParameters& song = g_player->song;
  bool commonTime = song.beats == 4 && song.beatType == 4;
  cvlog::out("this->countOffAudioList.size(): %d\n", countOffAudioList.size());

  auto tick = start;
  for (size_t k = 0; k < countOffAudioList.size(); ++k) {
    WaitWhilePlaying(performance, tick - kSoundQueueAhead);
    if (!IsPlaying(performance)) {
      cvlog::info("[CvCountOffSound::PlayCountOff] - BREAK BECAUSE IS_PLAY_MUSIC=FALSE");
      StopCaptureOf(performance);
      return k != 0;
    }
    const std::string& entry = countOffAudioList[k];
    platform::startTimingThread([path = WordPath(entry), tickSpacing = tickSpacing, tick,
                                 performance] {
      PlayWaveFile(path, tickSpacing, tick, performance);
    });
    if (entry == kGoFile && WaitWhilePlaying(performance, tick)) {
      // Recorded times count from the moment the excerpt's first beat is due. The
      // list is emptied before capture starts, so no early press is lost.
      g_recording_offset_ms.exchange(ExpectedCountOffLength() - ElapsedMilliseconds(start, tick));
      g_recording_start_time.exchange(tick);
      g_recording_list.clear();
      application_current_action.exchange(ACTION_RECORD_SONG);
    }

    long wait = tickSpacing;
    if (commonTime && k + 1 == countOffAudioList.size()) {
      wait = FinalStickWait(tickSpacing, song.startPosition);
      cvlog::out("**********************COUNT OFF NUMBER: %d  Final Stick: %d\n", k + 1, wait);
    } else {
      cvlog::out("COUNT OFF NUMBER: %d - tickSpacing: %d\n", k + 1, tickSpacing);
    }
    tick += std::chrono::milliseconds(wait);
  }
  WaitWhilePlaying(performance, tick);
  return true;
}

void CvCountOffSound::PlayWaveFile(const std::string& path, int32_t tickSpacing,
                                   std::chrono::steady_clock::time_point tick,
                                   uint64_t performance) {
  platform::nameThread("cv-countoff");
  // Every wait below ends at once when the performance stops: a stop silences the
  // word at once instead of at the end of its tick.
  auto tickEnd = tick + std::chrono::milliseconds(tickSpacing);
  uint32_t code = platform::waveOpen(path);
  if (code != 0) {
    WaitWhilePlaying(performance, tickEnd);
    cvlog::error("[CvCountOffSound] can not open wave file %d", code);
    platform::waveClose(path);
    return;
  }
  code = platform::wavePlayAt(path, platform::SoundInstant{tick});
  if (code != 0) {
    WaitWhilePlaying(performance, tickEnd);
    cvlog::error("[CvCountOffSound] can not play wave file %s", path);
    platform::waveClose(path);
    return;
  }
  auto now = std::chrono::steady_clock::now();
  WaitWhilePlaying(performance, tickEnd > now ? tickEnd : now + kShortestWord);
  platform::waveClose(path);

  if (!IsPlaying(performance)) {
    cvlog::info("[CvCountOffSound::PlayWaveFile] - BREAK BECAUSE IS_PLAY_MUSIC=FALSE");
    StopCaptureOf(performance);
    if (IsLatestPerformance(performance)) g_player->PlayOver();  // else a later one owns it
  }
}
