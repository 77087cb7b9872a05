// Arbitrary files as cached songs: the structural check, and for a file it accepts,
// the player's loading of it with the MIDI file reader, as a count-off command does.
// There is no MIDI output, so loading ends after the file has been read, before any
// port is opened or anything is sent.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/filesystem/fstream.hpp>

#include "playback/CvMidiFileCheck.h"
#include "playback/CvMidiTaskPlayer.h"
#include "store/CvCacheFolder.h"
#include "tests/fuzz/FuzzInstallFolder.h"

namespace {

const char* const kSongId = "4711";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static FuzzInstallFolder folder;
  ensureCacheFolder("SongFuzz");
  // Four beats of 4/4 at 120 bpm from the first measure, as the web application asks.
  SetSongParameters(g_player->song, 4, 120, 4, 1, 2, 1, 1, 0, 2000, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = cacheFilePath(kSongId);
  {
    boost::filesystem::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::string why;
  if (IsWellFormedMidiFile(path, &why)) {
    g_player->songPath = kSongId;
    g_player->ReadyPlayback();
  }
  return 0;
}
