// The JSON pieces the device commands answer with.
#pragma once

#include <cstdint>

#include <json/value.h>

#include "midi/CvMidiState.h"
#include "midi/CvRecordingList.h"

// The device tests' answer while a song is in the way ("data" code 6): the blocking
// test refuses while a song is prepared, waiting or playing; the polling test's start
// and end and the stop of a test refuse while a performance waits or plays, leaving
// its recording and capture alone.
const int SONG_PLAYING_CODE = 6;
const char* const SONG_PLAYING_MESSAGE = "PLAY MP3 FILE ERROR";

// {"id": name, "deviceName": name, "deviceCount": portCount}: the current device as
// the session start and default-device commands report it.
Json::Value deviceObject(const std::string& name, uint32_t portCount);

// {"pitch": ..., "octave": ...}
Json::Value pitchObject(const CvNotePitch& pitch);

// The key report of the device tests: code 0, the current device's name, the key's
// strength in whole percent of 127 and its pitch.
Json::Value keyReport(const CvMidiEvent& event);
