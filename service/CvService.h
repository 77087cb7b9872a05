// Process-wide constants and values of the service host.
#pragma once

#include <string>

class RtMidiOut;

// Service table entry and control-handler registration name.
extern const char* const SERVICE_NAME;
// Reported by the start-up banner, the keep-alive answer and the plugin commands.
extern const char* const PLUGIN_VERSION;

// The folder the service keeps the learner's files in (db/ with the origin list, cache/),
// no trailing separator: the program's own folder where the running user may write
// it, else the learner's data folder (platform::learnerFilesFolder). Written once by
// the process entry before any server thread exists; read-only afterwards.
extern std::string g_install_path;

// MIDI output used for playback; null when its creation failed. Written by the
// process entry before the dispatcher runs; afterwards used, and made anew when its
// MIDI system ended, by playback alone, under the player's output lock.
extern RtMidiOut* g_midi_out;
// The client name it is made with.
extern const char* const MIDI_OUT_CLIENT_NAME;  // "Piano Corvida Plugin Output"
// Makes g_midi_out on the platform's MIDI system; a failure is logged and leaves it
// null. The caller holds whatever guards g_midi_out at that moment.
void createMidiOutput();

// The shipped database, relative to the install folder.
extern const char* const DATABASE_RELATIVE_PATH;  // "db\pianocorvida.db"
