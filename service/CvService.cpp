#include "service/CvService.h"

#include <exception>

#include <RtMidi.h>

#include "platform/platform.h"
#include "service/CvLog.h"

const char* const SERVICE_NAME = "Piano Corvida Plugin";
const char* const PLUGIN_VERSION = "0.0.4.0";
const char* const DATABASE_RELATIVE_PATH = "db\\pianocorvida.db";
const char* const MIDI_OUT_CLIENT_NAME = "Piano Corvida Plugin Output";

std::string g_install_path;
RtMidiOut* g_midi_out = nullptr;

void createMidiOutput() {
  try {
    g_midi_out = new RtMidiOut(platform::midiApi(), MIDI_OUT_CLIENT_NAME);
  } catch (const RtMidiError& e) {
    cvlog::info("%s", e.getMessage());
  } catch (const std::exception& e) {
    cvlog::error("%s", e.what());
  }
}
