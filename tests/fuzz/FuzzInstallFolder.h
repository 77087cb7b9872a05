// A temporary install folder for a fuzz target: the empty database made from the
// shipped schema, the cache folder beside it, and the long-lived playback objects the
// service worker makes at start-up. No MIDI output is made (g_midi_out stays null), so
// nothing a target runs can reach an instrument or wait for one. One per process; the
// folder goes when the object does.
#pragma once

#include <string>

class FuzzInstallFolder {
 public:
  FuzzInstallFolder();
  ~FuzzInstallFolder();
  FuzzInstallFolder(const FuzzInstallFolder&) = delete;
  FuzzInstallFolder& operator=(const FuzzInstallFolder&) = delete;

  // Removes the cache folder and every table row, so that each input starts from the
  // same store and a long run does not fill the disk.
  void clearStores();

 private:
  std::string folder_;
};
