// The real service binary in a temporary install folder: the program, db/ and
// countoff/ are copied there, so the service finds its files beside itself and
// writes its log, database rows and cache there. Or an installed program (a package's,
// in a scratch root) run as a learner: another user with a home of their own, whose
// data folder then holds the log, database and cache. Tests run in a private network
// namespace (tests/in-netns.sh), so port 19420 is theirs alone.
//
// PIANOCORVIDA_TEST_SERVICE_WRAPPER, when set, is a command (words split at spaces)
// that the program is started under, its path the last word: for example
// "heaptrack -o /tmp/soak" (give PIANOCORVIDA_TEST_TIME_SCALE too, the
// wrapper slows the start and stop). The stop signal and the memory figures then go to
// the program itself, and stop() waits for the wrapper to end.
//
// The program finds no SoundFont unless a test asks for them: it then plays the
// accompaniment to the first system MIDI destination (the rig's test synthesizer), not
// into a built-in synthesizer, and the message-exact tests keep their meaning.
#pragma once

#include <chrono>
#include <string>

#include <sys/types.h>

class TestService {
 public:
  // Makes the install folder; copies db/ and countoff/ unless told not to.
  explicit TestService(bool withDatabase = true, bool withCountOff = true);

  // Who runs an installed program: a user id (its group id the same) and the
  // environment's HOME, and XDG_DATA_HOME when not empty. Starting one needs root.
  struct Learner {
    uid_t uid = 0;
    std::string home;
    std::string xdgDataHome;
    std::string dataFolder() const;  // where the program keeps this learner's files
  };
  // The program at installedProgram, run as learner; folder() is the learner's data
  // folder, which the program makes itself. The home and the program are left alone.
  TestService(std::string installedProgram, Learner learner);

  ~TestService();  // kills a running service and removes the folder it made

  // Hidden: the program runs in a mount namespace of its own with an empty tmpfs over
  // kSoundFontFolder, as on a machine without a SoundFont package (nothing is hidden
  // where the folder does not exist). Visible: it sees the system's files. Takes
  // effect at the next start().
  enum class SoundFonts { Hidden, Visible };
  void setSoundFonts(SoundFonts choice) { soundFonts_ = choice; }

  // Starts the program; waits until port 19420 accepts connections when asked.
  bool start(bool waitForPort = true,
             std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Sends SIGTERM and waits for the exit; the exit status, or -1 on time-out/crash.
  int stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool running();
  void kill();

  const std::string& folder() const { return folder_; }
  std::string path(const std::string& relative) const { return folder_ + "/" + relative; }
  std::string databasePath() const { return path("db/pianocorvida.db"); }
  std::string cachePath(const std::string& name) const { return path("cache/" + name); }
  std::string log() const;     // pianocorvida.log as it stands
  std::string allLogs() const; // the rolled-over backups, oldest first, then the log
  std::string output() const;  // standard output and error of the program
  pid_t pid() const { return pid_; }  // the child started: the wrapper when there is one
  // The program's resident memory (VmRSS) in KiB; -1 when it does not run.
  long residentKilobytes();

 private:
  // The program's own process: pid_, or the wrapper's descendant running it; -1 while
  // none is found.
  pid_t programPid();

  std::string folder_;
  std::string program_;     // the program started
  std::string outputFile_;  // its standard output and error
  bool ownsFolder_ = true;  // folder_ was made here and goes with the object
  Learner learner_;         // uid 0: the test's own user and environment
  pid_t pid_ = -1;
  pid_t programPid_ = -1;  // found once per start under a wrapper
  SoundFonts soundFonts_ = SoundFonts::Hidden;
};

// Where Debian's SoundFont packages put their files.
extern const char* const kSoundFontFolder;

// How many times longer the service may take to start and stop in this run: the
// PIANOCORVIDA_TEST_TIME_SCALE environment variable (1 when unset). A sanitizer build
// sets it: the sanitizer slows the program, and its leak check at exit scans every
// thread's stack.
double testTimeScale();

// True when something accepts TCP connections on ::1 port.
bool portAccepts(int port);

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);
void writeFileBytes(const std::string& path, const std::string& bytes);
// Standard Base64 with padding, as the web application sends files.
std::string base64(const std::string& bytes);

// Runs an SQL statement on a database file with the sqlite3 library and returns the
// rows, columns joined by '|', rows by '\n'.
std::string sqlQuery(const std::string& databasePath, const std::string& sql);

// Polls until condition holds or timeout passes; returns the condition's last value.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}
