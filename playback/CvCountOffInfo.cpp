#include "playback/CvCountOffInfo.h"

#include "playback/CvMidiTaskPlayer.h"
#include "playback/CvSongTiming.h"
#include "service/CvLog.h"

CvCountOffInfo* g_count_off = nullptr;

void ComputeCountOff() {
  const CvSongParameters& song = g_player->song;
  cvlog::info("GetEightNote: %d", song.startPosition);
  int32_t numTicks = ComputeNumTicks(song);
  int32_t tickSpacing = ComputeTickSpacing(song.tempo, song.beats, song.beatType);
  cvlog::out("tickSpacing: %d -- numTicks:%d\n", tickSpacing, numTicks);

  auto sound = std::make_unique<CvCountOffSound>(tickSpacing);
  sound->BuildCountOffWords(numTicks, song.beats, song.beatType, song.startBeat);
  g_count_off->numTicks = numTicks;
  g_count_off->tickSpacing = tickSpacing;
  g_count_off->countOffSound = std::move(sound);
}

int32_t ExpectedCountOffLength() {
  const CvSongParameters& song = g_player->song;
  return ExpectedCountOffDuration(g_count_off->numTicks, g_count_off->tickSpacing,
                                  song.startPosition, song.beats, song.beatType);
}
