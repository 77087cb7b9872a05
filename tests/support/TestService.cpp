#include "tests/support/TestService.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#ifndef PIANOCORVIDA_BUILD_DIR
#error "PIANOCORVIDA_BUILD_DIR must name the build folder"
#endif

namespace fs = boost::filesystem;

const char* const kSoundFontFolder = "/usr/share/sounds/sf2";

namespace {

// Exit status of a child that could not hide the SoundFonts.
const int kNoPrivateMounts = 125;

// In the child, before exec: a mount namespace of the program's own, whose mounts do
// not reach back to the test's, with an empty folder where the SoundFonts are. Only
// async-signal-safe calls: the test process has threads.
bool hideSoundFonts() {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  return mount("tmpfs", kSoundFontFolder, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0;
}

void say(int fd, const char* text) {
  ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

// The words of PIANOCORVIDA_TEST_SERVICE_WRAPPER; none when unset.
std::vector<std::string> wrapperWords() {
  std::vector<std::string> words;
  const char* text = std::getenv("PIANOCORVIDA_TEST_SERVICE_WRAPPER");
  std::istringstream in(text ? text : "");
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds timeout) {
  return std::chrono::milliseconds(static_cast<long long>(timeout.count() * testTimeScale()));
}

}  // namespace

double testTimeScale() {
  const char* text = std::getenv("PIANOCORVIDA_TEST_TIME_SCALE");
  double scale = text ? std::atof(text) : 1.0;
  return scale >= 1.0 ? scale : 1.0;
}

TestService::TestService(bool withDatabase, bool withCountOff) {
  fs::path base = fs::temp_directory_path() / fs::unique_path("pianocorvida-%%%%-%%%%");
  fs::create_directories(base);
  folder_ = base.string();
  program_ = path("pianocorvida-plugin");
  outputFile_ = path("output.txt");
  fs::path build(PIANOCORVIDA_BUILD_DIR);
  fs::copy_file(build / "pianocorvida-plugin", base / "pianocorvida-plugin");
  fs::permissions(base / "pianocorvida-plugin", fs::owner_all | fs::group_read | fs::others_read);
  if (withDatabase) {
    fs::create_directories(base / "db");
    fs::copy_file(build / "db" / "pianocorvida.db", base / "db" / "pianocorvida.db");
  }
  if (withCountOff) {
    fs::create_directories(base / "countoff");
    for (const fs::directory_entry& entry : fs::directory_iterator(build / "countoff")) {
      fs::copy_file(entry.path(), base / "countoff" / entry.path().filename());
    }
  }
}

std::string TestService::Learner::dataFolder() const {
  return (xdgDataHome.empty() ? home + "/.local/share" : xdgDataHome) + "/pianocorvida";
}

TestService::TestService(std::string installedProgram, Learner learner)
    : folder_(learner.dataFolder()),
      program_(std::move(installedProgram)),
      outputFile_(learner.home + "/service-output.txt"),
      ownsFolder_(false),
      learner_(std::move(learner)) {}

TestService::~TestService() {
  kill();
  boost::system::error_code ignored;
  if (ownsFolder_ && std::getenv("KEEP_TEST_FOLDERS") == nullptr) fs::remove_all(folder_, ignored);
}

bool TestService::start(bool waitForPort, std::chrono::milliseconds timeout) {
  const std::string& program = program_;
  const std::string& outputFile = outputFile_;
  const bool hide = soundFonts_ == SoundFonts::Hidden && fs::is_directory(kSoundFontFolder);
  // Made before the fork: the child may only make async-signal-safe calls.
  std::vector<std::string> words = wrapperWords();
  words.push_back(program);
  std::vector<char*> arguments;
  for (std::string& word : words) arguments.push_back(&word[0]);
  arguments.push_back(nullptr);
  // A learner's own environment: their HOME and XDG_DATA_HOME, nothing of the test's.
  std::vector<std::string> variables;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    std::string text(*variable);
    if (learner_.uid != 0 && (text.rfind("HOME=", 0) == 0 || text.rfind("XDG_DATA_HOME=", 0) == 0)) {
      continue;
    }
    variables.push_back(text);
  }
  if (learner_.uid != 0) {
    variables.push_back("HOME=" + learner_.home);
    if (!learner_.xdgDataHome.empty()) variables.push_back("XDG_DATA_HOME=" + learner_.xdgDataHome);
  }
  std::vector<char*> environment;
  for (std::string& variable : variables) environment.push_back(&variable[0]);
  environment.push_back(nullptr);
  const uid_t uid = learner_.uid;
  programPid_ = -1;
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    if (hide && !hideSoundFonts()) {
      say(2, "test service: cannot hide the SoundFonts (a mount namespace needs root)\n");
      _exit(kNoPrivateMounts);
    }
    if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0)) {
      say(2, "test service: cannot become the learner\n");
      _exit(126);
    }
    // Run from another folder: the service must find its files from its own path.
    if (chdir("/") != 0) _exit(126);
    execvpe(arguments[0], arguments.data(), environment.data());
    _exit(127);
  }
  if (!waitForPort) return true;
  return eventually([this] { return portAccepts(19420) || !running(); }, scaled(timeout)) &&
         running();
}

bool TestService::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

pid_t TestService::programPid() {
  if (pid_ <= 0 || wrapperWords().empty()) return pid_;
  if (programPid_ > 0) return programPid_;
  // The program is known by its path: each install folder is a new one.
  const std::string& program = program_;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return -1;
  while (dirent* entry = readdir(processes)) {
    char* end = nullptr;
    long candidate = std::strtol(entry->d_name, &end, 10);
    if (candidate <= 0 || *end != '\0') continue;
    char target[4096];
    std::string link = std::string("/proc/") + entry->d_name + "/exe";
    ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
    if (length > 0 && program.compare(0, std::string::npos, target, static_cast<size_t>(length)) == 0) {
      programPid_ = static_cast<pid_t>(candidate);
      break;
    }
  }
  closedir(processes);
  return programPid_;
}

int TestService::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  pid_t program = programPid();
  ::kill(program > 0 ? program : pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

void TestService::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string TestService::log() const { return readFile(path("pianocorvida.log")); }
std::string TestService::allLogs() const {
  std::string text;
  for (int backup = 5; backup >= 1; --backup) {
    text += readFile(path("pianocorvida.log." + std::to_string(backup)));
  }
  return text + log();
}

long TestService::residentKilobytes() {
  pid_t program = programPid();
  if (program <= 0) return -1;
  std::istringstream status(readFile("/proc/" + std::to_string(program) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string TestService::output() const { return readFile(outputFile_); }

bool portAccepts(int port) {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(static_cast<uint16_t>(port));
  address.sin6_addr = in6addr_loopback;
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string sqlQuery(const std::string& databasePath, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(databasePath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + databasePath);
  }
  std::string rows;
  char* error = nullptr;
  auto collect = [](void* out, int count, char** values, char**) {
    std::string& text = *static_cast<std::string*>(out);
    if (!text.empty()) text += "\n";
    for (int i = 0; i < count; ++i) {
      if (i > 0) text += "|";
      text += values[i] ? values[i] : "";
    }
    return 0;
  };
  int rc = sqlite3_exec(db, sql.c_str(), collect, &rows, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("sql failed: " + message);
  return rows;
}

std::string base64(const std::string& bytes) {
  static const char* const alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    for (size_t k = 0; k < 4; ++k) {
      text += i + k <= bytes.size() ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}
