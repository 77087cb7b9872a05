#include "midi/CvMidiInput.h"

#include <cstdio>
#include <exception>

#include "platform/platform.h"
#include "service/CvLog.h"
#include "service/CvService.h"

CvMidiInput cvMidiIn;

const char* const MIDI_IN_CLIENT_NAME = "Piano Corvida Plugin Input";

bool IsOwnMidiPort(const std::string& portName) {
  for (const char* client : {MIDI_IN_CLIENT_NAME, MIDI_OUT_CLIENT_NAME}) {
    const size_t length = std::char_traits<char>::length(client);
    // "client:port" as JACK and ALSA list it; JACK adds "-01" to a name already taken.
    if (portName.compare(0, length, client) == 0 && portName.size() > length &&
        (portName[length] == ':' || portName[length] == '-')) {
      return true;
    }
  }
  return false;
}

namespace {

const unsigned int kQueueSizeLimit = 100;
const std::chrono::seconds kLookAgainAfter(1);

// The library's word for "no server to connect to" (JACK); counted as no MIDI system.
bool saysNoMidiSystem(const std::string& text) {
  return text.find("server not running") != std::string::npos;
}

}  // namespace

void CvMidiInput::create() {
  std::lock_guard<std::mutex> lock(mutex_);
  systemsEndedAtMaking_ = platform::midiSystemsEnded();
  makeInput();
}

void CvMidiInput::makeInput() {
  try {
    input_.reset(new RtMidiIn(platform::midiApi(), MIDI_IN_CLIENT_NAME, kQueueSizeLimit));
    input_->setErrorCallback(&CvMidiInput::onLibraryError, this);
    if (callback_ != nullptr) input_->setCallback(callback_);
    input_->ignoreTypes(ignoreSysex_, ignoreTime_, ignoreSense_);
  } catch (const RtMidiError& e) {
    input_.reset();
    cvlog::warn("[CvMidiTask] MIDI input unavailable: %s", e.getMessage());
  } catch (const std::exception& e) {
    input_.reset();
    cvlog::error("[CvMidiTask] MIDI input unavailable: %s", e.what());
  }
}

void CvMidiInput::renewIfSystemEnded() {
  uint64_t ended = platform::midiSystemsEnded();
  if (ended != systemsEndedAtMaking_) {
    systemsEndedAtMaking_ = ended;
    cvlog::warn("[CvMidiTask] the MIDI system ended: MIDI input made anew");
    // Left undeleted: libjack frees its dead client (see platform::midiSystemsEnded).
    static_cast<void>(input_.release());
    visiblePorts_.clear();
    listedAtCount_ = 0;
    unavailable_ = false;
    remakePending_ = true;
  }
  // Until then the object is missing: no ports, and a port cannot open.
  if (remakePending_ && platform::midiSystemSettled()) {
    remakePending_ = false;
    makeInput();
  }
}

void CvMidiInput::onLibraryError(RtMidiError::Type type, const std::string& text, void* self) {
  // Called on the thread of the library call, which holds mutex_.
  auto* input = static_cast<CvMidiInput*>(self);
  if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
    if (saysNoMidiSystem(text)) {
      input->systemMissingSeen_ = true;
    } else if (type == RtMidiError::WARNING) {
      std::fprintf(stderr, "\n%s\n\n", text.c_str());  // as the library prints it
    }
    return;
  }
  input->errorPending_ = true;
  input->errorType_ = type;
  input->errorText_ = text;
}

void CvMidiInput::finishCall(bool countsPorts) {
  if (countsPorts) {
    if (systemMissingSeen_ && !unavailable_) {
      cvlog::warn(
          "[CvMidiTask] MIDI unavailable: no ALSA sequencer and no JACK server is running; "
          "keyboards appear once one starts");
    } else if (!systemMissingSeen_ && unavailable_) {
      cvlog::info("[CvMidiTask] MIDI available: a MIDI system is running again");
    }
    unavailable_ = systemMissingSeen_;
  }
  systemMissingSeen_ = false;
  if (!errorPending_) return;
  errorPending_ = false;
  throw RtMidiError(errorText_, errorType_);
}

unsigned int CvMidiInput::getPortCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  if (!input_) return 0;
  auto now = std::chrono::steady_clock::now();
  if (unavailable_ && now < nextLook_) return 0;
  unsigned int count = input_->getPortCount();
  finishCall(true);
  if (unavailable_) nextLook_ = now + kLookAgainAfter;
  // Names are read only when the count moved: the monitor asks 20 times a second.
  if (count != listedAtCount_) listVisiblePorts();
  return static_cast<unsigned int>(visiblePorts_.size());
}

void CvMidiInput::listVisiblePorts() {
  visiblePorts_.clear();
  unsigned int count = input_->getPortCount();
  finishCall(true);
  for (unsigned int port = 0; port < count; ++port) {
    std::string name = input_->getPortName(port);
    finishCall(false);
    if (!IsOwnMidiPort(name)) {
      visiblePorts_.push_back(port);
    }
  }
  listedAtCount_ = count;
}

unsigned int CvMidiInput::libraryPort(unsigned int portNumber) {
  listVisiblePorts();
  // Past the end stays past the end, so the library reports the bad number itself.
  if (portNumber >= visiblePorts_.size()) return listedAtCount_ + portNumber;
  return visiblePorts_[portNumber];
}

std::string CvMidiInput::getPortName(unsigned int portNumber) {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  if (!input_) throw RtMidiError("no MIDI input", RtMidiError::INVALID_DEVICE);
  std::string name = input_->getPortName(libraryPort(portNumber));
  finishCall(false);
  return name;
}

void CvMidiInput::openPort(unsigned int portNumber, const std::string& portName) {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  if (!input_) throw RtMidiError("no MIDI input", RtMidiError::INVALID_DEVICE);
  input_->openPort(libraryPort(portNumber), portName);
  finishCall(false);
}

void CvMidiInput::closePort() {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  if (!input_) return;
  input_->closePort();
  finishCall(false);
}

bool CvMidiInput::isPortOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  return input_ && input_->isPortOpen();
}

void CvMidiInput::setCallback(RtMidiIn::RtMidiCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  // The library object is made with callback_ already set, and asked again it only
  // prints a warning; the port monitor asks at each attempt to open a port.
  if (input_ && callback == callback_) return;
  callback_ = callback;
  if (!input_) return;
  input_->setCallback(callback);
  finishCall(false);
}

void CvMidiInput::ignoreTypes(bool midiSysex, bool midiTime, bool midiSense) {
  std::lock_guard<std::mutex> lock(mutex_);
  renewIfSystemEnded();
  ignoreSysex_ = midiSysex;
  ignoreTime_ = midiTime;
  ignoreSense_ = midiSense;
  if (!input_) return;
  input_->ignoreTypes(midiSysex, midiTime, midiSense);
  finishCall(false);
}
