#include "service/CvServiceHost.h"

#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/RollingFileAppender.hh>

#include "link/CvServerSocket.h"
#include "playback/CvCountOffInfo.h"
#include "playback/CvMetronomeTask.h"
#include "playback/CvMidiTaskPlayer.h"
#include "service/CvLog.h"
#include "service/CvService.h"
#include "store/CvDatabase.h"

platform::ServiceStatus g_service_status;
platform::StatusHandle g_status_handle = nullptr;
std::unique_ptr<CvManualResetEvent> g_stop_event;

namespace {

const char* const kLogFileName = "pianocorvida.log";
const size_t kLogMaxSize = 10120000;
const unsigned kLogBackups = 5;
const int kWebSocketPort = 19420;

// After a failed server start (the port is taken, say) the next pass waits this long,
// or until a stop, so a lasting failure neither spins a core nor floods the log.
const std::chrono::milliseconds kRetryPause(500);

std::mutex g_service_status_mutex;  // guards g_service_status

void reportLocked(uint32_t state, uint32_t controls, uint32_t exitCode, uint32_t checkPoint) {
  g_service_status.currentState = state;
  g_service_status.controlsAccepted = controls;
  g_service_status.win32ExitCode = exitCode;
  g_service_status.checkPoint = checkPoint;
  platform::reportStatus(g_status_handle, g_service_status);
}

void report(uint32_t state, uint32_t controls, uint32_t exitCode, uint32_t checkPoint) {
  std::lock_guard<std::mutex> lock(g_service_status_mutex);
  reportLocked(state, controls, exitCode, checkPoint);
}

void attachLogFile(const std::string& learnerFolder) {
  auto* appender = new log4cpp::RollingFileAppender(
      "FileAppender", platform::joinPath(learnerFolder, kLogFileName), kLogMaxSize,
      kLogBackups, true, 0644);
  auto* layout = new log4cpp::PatternLayout();
  layout->setConversionPattern("%d [%p] %m%n");
  appender->setLayout(layout);
  cvlog::category().setPriority(log4cpp::Priority::INFO);
  cvlog::category().addAppender(appender);  // the category owns it for good
}

// What a first start from a system install did with the learner's folder, said once
// the log is open there. A folder that could not be made ready goes to standard output
// too: the log may be unable to open in it.
void reportLearnerFiles(const platform::LearnerFilesSetup& setup, const std::string& folder) {
  if (!setup.madeFrom.empty()) {
    cvlog::info("[CorvidaPianoPlugin] learner's files in %s, database copied from %s", folder,
                setup.madeFrom);
  }
  if (!setup.copiedFrom.empty()) {
    cvlog::info("[CorvidaPianoPlugin] copied the database, cache and log of %s to %s",
                setup.copiedFrom, folder);
  }
  if (!setup.failure.empty()) {
    cvlog::error("[CorvidaPianoPlugin] learner's files not ready: %s", setup.failure);
    cvlog::out("[CorvidaPianoPlugin] learner's files not ready: %s\n", setup.failure);
  }
}

// The objects every later pass keeps. Never destroyed: detached playback threads may
// use them until the process ends.
void createLongLivedObjects() {
  g_local_db = new CvDatabase(DATABASE_RELATIVE_PATH);
  g_player = new CvMidiTaskPlayer();
  g_count_off = new CvCountOffInfo();
  g_metronome = new CvMetronomeTask();
}

}  // namespace

void ServiceMain(uint32_t, char**) {
  g_status_handle = platform::registerControlHandler(SERVICE_NAME, ServiceCtrlHandler);
  if (g_status_handle == nullptr) return;

  {
    std::lock_guard<std::mutex> lock(g_service_status_mutex);
    g_service_status = platform::ServiceStatus();
    g_service_status.serviceType = SERVICE_OWN_PROCESS_TYPE;
    reportLocked(SERVICE_START_PENDING_STATE, 0, 0, 0);
  }

  g_stop_event.reset(new (std::nothrow) CvManualResetEvent());
  if (!g_stop_event) {
    report(SERVICE_STOPPED_STATE, 0, platform::lastError(), 1);
    return;
  }

  report(SERVICE_RUNNING_STATE, SERVICE_CONTROL_STOP_CODE, 0, 0);
  std::thread worker(ServiceWorkerThread);
  worker.join();

  report(SERVICE_STOPPED_STATE, 0, 0, 3);
}

void ServiceCtrlHandler(uint32_t control) {
  if (control != SERVICE_CONTROL_STOP_CODE && control != SERVICE_CONTROL_SHUTDOWN_CODE) return;
  {
    std::lock_guard<std::mutex> lock(g_service_status_mutex);
    if (g_service_status.currentState != SERVICE_RUNNING_STATE) return;
    reportLocked(SERVICE_STOPPED_STATE, 0, 0, 4);
  }
  g_stop_event->set();
}

int ServiceWorkerThread() {
  if (g_stop_event->isSet()) return 0;
  bool firstPass = true;
  while (true) {
    // The learner's folder is asked for again, as the install folder would be.
    std::string learnerFolder = platform::learnerFilesFolder();
    platform::LearnerFilesSetup setup;
    if (firstPass) {
      setup = platform::prepareLearnerFiles();  // before the log opens there
      attachLogFile(learnerFolder);
    }
    cvlog::info("[CorvidaPianoPlugin] Starting corvida piano plugin service...");
    cvlog::info("[CorvidaPianoPlugin] Piano Corvida Plugin version %s", PLUGIN_VERSION);
    reportLearnerFiles(setup, learnerFolder);
    if (firstPass) createLongLivedObjects();
    firstPass = false;

    {
      CvServerSocket server(kWebSocketPort);
      server.run();
    }
    if (g_stop_event->waitFor(kRetryPause)) return 0;
  }
}
