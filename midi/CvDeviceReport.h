// The JSON pieces the device commands answer with.
#pragma once

#include <cstdint>

#include <json/value.h>

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"

// {"id": name, "deviceName": name, "deviceCount": portCount}: the current device as
// the session start and default-device commands report it.
Json::Value deviceObject(const std::string& name, uint32_t portCount);

// {"pitch": ..., "octave": ...}
Json::Value pitchObject(const CvNotePitch& pitch);

// The key report of the device tests: code 0, the current device's name, the key's
// strength in whole percent of 127 and its pitch.
Json::Value keyReport(const CvMidiEvent& event);
