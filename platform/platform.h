// The only door to the operating system. Everything outside platform/ reaches the
// program file, the service control manager, process end, the MIDI API and the sound
// output through these calls; the build picks one implementation per system
// (platform/linux/ here). All calls are safe from any thread unless noted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <RtMidi.h>

namespace platform {

// Full path of the running program file.
std::string modulePath();

// The folder part of a path: everything before its last separator, or the whole
// path when it holds none. No trailing separator.
std::string folderOf(const std::string& path);

// Where the program's files are: two folders, each without a trailing separator.
//   shippedFilesFolder(): the read-only files that come with the program: countoff/,
//     and for a system install the pristine database (pianocorvida.db) and the web
//     application's origin list the package was built with (allowed-origins.txt).
//   learnerFilesFolder(): what the service writes for the user who runs it:
//     pianocorvida.log, db/ (the database and the learner's own origin list), cache/.
// Where the program's own folder is writable by the running user (the build folder, a
// cmake --install into the learner's home, Windows), both are that folder. Where it is
// not, the program runs from a system location shared by every account (the package's
// /usr/lib/pianocorvida): the shipped files are in the prefix's share/pianocorvida
// (two folders up from the program's, /usr/share/pianocorvida) and each learner's
// files in their XDG data folder, $XDG_DATA_HOME/pianocorvida, or
// ~/.local/share/pianocorvida when XDG_DATA_HOME is unset or not absolute. (root may
// write everywhere, so root running the packaged program keeps the install-folder
// rule.) Decided at the first call, the same answer for the life of the process.
std::string shippedFilesFolder();
std::string learnerFilesFolder();

// What prepareLearnerFiles found and did; every text empty when there was nothing to do.
struct LearnerFilesSetup {
  std::string madeFrom;    // the database the learner's new one was copied from
  std::string copiedFrom;  // the earlier install folder whose db/, cache/ and log came along
  std::string failure;     // why the learner's folder could not be made ready
};
// Called once at start-up, before the log is opened in learnerFilesFolder(). Where the
// learner's folder is not the program's own and holds no database yet (their first
// start), makes it (mode 0700) and gives it a database: a copy of the earlier package
// layout's data (/opt/pianocorvida: db/, cache/, the log; copied, never moved) when
// the running user owns a database there they can read, else a copy of the pristine
// database. Everything is copied under a temporary name and the database put in place
// last, so a start cut short half-way leaves no database and the next start does it
// all again. Does nothing where the learner's folder is the program's own.
LearnerFilesSetup prepareLearnerFiles();

// Joins a folder and a relative name written with backslashes ("countoff\go.wav"),
// turning every backslash into the native separator.
std::string joinPath(const std::string& folder, const std::string& relativeName);

// Makes the file at path, or the list of entries of the folder at path, reach the
// disk before it returns, so that it outlives a power cut. False when it could not.
bool flushToDisk(const std::string& path);

// The record reported to the service control manager; all fields 32-bit unsigned.
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

using ServiceMainFunction = void (*)(uint32_t argc, char** argv);
using ControlHandler = void (*)(uint32_t control);
using StatusHandle = void*;

// Must be the first call of the process entry, before any thread exists: stop
// requests are then taken only by the dispatcher.
void prepareProcess();

// Runs serviceMain for the one service of the table and returns once the service
// reported state 1 (stopped). Stop requests reach the registered handler as control 1
// on the calling thread. False on failure; lastError() tells why.
bool runServiceDispatcher(const char* serviceName, ServiceMainFunction serviceMain);

// Registers the handler that receives stop and shutdown requests; null on failure.
StatusHandle registerControlHandler(const char* serviceName, ControlHandler handler);

// Reports a status record; false on failure.
bool reportStatus(StatusHandle handle, const ServiceStatus& status);

// The system's error code of the last failed call on this thread.
uint32_t lastError();

// Ends the process at once with the given status, without running static
// destructors: detached playback threads and the event-loop threads may still run.
[[noreturn]] void endProcess(int status);

// Names the calling thread for debuggers and process tools (at most 15 characters
// are kept); does nothing where the system has no names.
void nameThread(const char* name);

// Gives the system back the calling thread's stack pages below the caller's frame.
// Called by each event-loop thread when a command's message is handled: the thread
// that ran a deep command (the play command speaks the count-off on it) keeps no more
// resident than a shallow one, however many of the event-loop threads the messages
// come to. Does nothing on the process's main thread, and where the system keeps
// stacks committed.
void releaseUnusedStack();

// Every sound the service makes goes to one sound output that the platform chooses
// from what the system runs (on Linux: a Pulse server, else a JACK server's physical
// playback ports, else ALSA's default device) and plays at that output's own rate;
// sounds are converted to it once, when loaded.
//
// Asynchronous wave player, addressed by the file's path (the count-off words): the
// three multimedia string commands "open", "play" and "close". Each returns 0 on
// success, else a non-zero error code. A path may be opened again while open: each
// open makes another voice, play starts the newest voice not yet started, close stops
// and forgets the oldest voice of that path (so overlapping ticks of the same word each
// sound and each thread closes its own). Safe from any thread. On Windows the codes,
// and the answer to a second open of a path, are MCI's own; on Linux they are these:
enum WaveError : uint32_t {
  kWaveFileNotFound = 1,   // missing or unreadable file
  kWaveInvalidFile = 2,    // not a PCM wave file of 8 or 16 bits, mono or stereo
  kWaveNoDevice = 3,       // no audio output could be opened
  kWaveNotOpen = 4,        // play or close of a path with no open voice
  kWaveTooManyVoices = 5,  // too many voices open at once (closes were forgotten)
};
uint32_t waveOpen(const std::string& path);
uint32_t wavePlay(const std::string& path);   // returns at once; the sound goes on
uint32_t waveClose(const std::string& path);  // stops the sound if still playing

// An instant on the steady clock at which a sound is to be heard.
struct SoundInstant {
  std::chrono::steady_clock::time_point at;
};
// Like wavePlay, but the voice is heard from the instant (at once when it has passed),
// to the frame where the output allows it. Queue it ahead by more than
// soundOutputLatencyMicroseconds(); close stops it also before it began.
uint32_t wavePlayAt(const std::string& path, const SoundInstant& when);

// How long after it is handed to the sound output a sound is heard at the earliest: the
// latency the running output reports (0 where none runs, or none is known). A MIDI
// destination whose synthesizer plays into the same output meets the service's own
// sounds when its messages go out this much ahead of their instants.
uint32_t soundOutputLatencyMicroseconds();

// The metronome's click: the bytes of the file at path, from the first (a header too),
// as interleaved signed 16-bit little-endian stereo frames at rate, heard from the
// instant at (at once when it has passed) until it ends or stopRawSound(id).
struct RawSound {
  std::string path;
  uint32_t rate = 0;
  std::chrono::steady_clock::time_point at;
};
// Returns 0 and sets id, or kWaveFileNotFound / kWaveNoDevice / kWaveTooManyVoices.
uint32_t playRawSound(const RawSound& sound, uint32_t& id);
uint32_t stopRawSound(uint32_t id);  // kWaveNotOpen when it was not playing

// MIDI output port 0 where the system has no synthesizer of its own: on Linux a
// General MIDI synthesizer inside the service, playing into the sound output; the
// system's MIDI destinations come after it. On Windows port 0 of the MIDI output is
// the system's built-in synthesizer, so none is reported there.
//
// True when it can be port 0: a SoundFont for it is installed. Looked for at each call
// while none is; the first miss logs one WARN line naming what to install.
bool builtInSynthesizerInstalled();
// Makes it ready to sound on the sound output; false when that cannot be had (no
// output, a SoundFont that does not load). Each opening starts from General MIDI's
// defaults.
bool builtInSynthesizerOpen();
// Plays one MIDI message (a channel message or a whole SysEx message) so that it is
// heard at the instant, within one of the synthesizer's 64-frame blocks; at once when
// the instant has passed. Messages are taken in the order sent.
void builtInSynthesizerSend(const unsigned char* message, uint32_t size, const SoundInstant& when);
// Drops the messages not played yet, ends every note (their release still sounds) and
// lets the sound output close once nothing sounds.
void builtInSynthesizerClose();

// Starts body on a new detached thread that the system runs ahead of ordinary
// threads where it allows that (realtime scheduling on Linux, time-critical priority
// on Windows), else at normal priority: the accompaniment, the metronome and the
// count-off words, whose every late step the learner hears. Keep such a thread
// mostly asleep. Raises std::system_error when no thread can be started.
void startTimingThread(std::function<void()> body);

// The MIDI API that RtMidiIn and RtMidiOut are created with.
RtMidi::Api midiApi();

// How many times the MIDI system the program reached has ended under it (a JACK
// server that stopped). MIDI objects made before the count moved hold a dead
// connection: they list the old ports for ever and never reach a new system, so their
// owner makes new ones, checking before each call into an old one. The old ones are
// left undeleted: libjack frees the clients of an ended server itself at the next
// client any thread opens, and deleting the object after that would close a freed
// client. Always 0 where the system cannot end under the program (ALSA sequencer,
// Windows). While no system runs, one is looked for at most once a second.
uint64_t midiSystemsEnded();

// False for a second after an end was counted: no new MIDI object may be made yet.
// The audio library closes its own dead clients on threads of its own, and a client
// opened before that would have libjack free theirs under them.
bool midiSystemSettled();

}  // namespace platform
