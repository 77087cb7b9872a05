// Process entry of the Piano Corvida Plugin service.
#include <exception>
#include <thread>

#include <RtMidi.h>

#include "midi/CvMidiInput.h"
#include "midi/CvMidiRecording.h"
#include "platform/platform.h"
#include "service/CvLog.h"
#include "service/CvService.h"
#include "service/CvServiceHost.h"

int main() {
  platform::prepareProcess();
  // The logging category exists before any thread does: the library makes its
  // registry on first use, and that first use must not race.
  cvlog::category();

  createMidiOutput();

  cvMidiIn.create();
  std::thread monitor(&CvMidiRecording::ProcessRecordingMidi);

  g_install_path = platform::learnerFilesFolder();

  int status = 0;
  if (!platform::runServiceDispatcher(SERVICE_NAME, ServiceMain)) {
    status = static_cast<int>(platform::lastError());
  }
  monitor.detach();
  platform::endProcess(status);
}
