#include "service/CvService.h"

#include "platform/platform.h"

const char* const SERVICE_NAME = "Piano Corvida Plugin";
const char* const PLUGIN_VERSION = "0.0.4.0";
const char* const DATABASE_RELATIVE_PATH = "db\\pianocorvida.db";
const char* const MIDI_OUT_CLIENT_NAME = "RtMidi Output Client";

std::string g_install_path;
RtMidiOut* g_midi_out = nullptr;

std::string installFolderFromModule() { return platform::folderOf(platform::modulePath()); }
