#include "midi/CvDeviceReport.h"

#include "midi/CvPitchNames.h"

Json::Value deviceObject(const std::string& name, uint32_t portCount) {
  Json::Value device(Json::objectValue);
  device["id"] = name;
  device["deviceName"] = name;
  device["deviceCount"] = Json::UInt(portCount);
  return device;
}

Json::Value pitchObject(const CvNotePitch& pitch) {
  Json::Value object(Json::objectValue);
  object["pitch"] = pitch.pitch;
  object["octave"] = pitch.octave;
  return object;
}

Json::Value keyReport(const CvMidiEvent& event) {
  std::string name = currentDeviceName();
  Json::Value data(Json::objectValue);
  data["code"] = 0;
  data["message"] = "SUCCESS";
  data["id"] = name;
  data["deviceName"] = name;
  data["percent"] = static_cast<int>(static_cast<double>(event.velocity) / 127 * 100);
  data["note"] = pitchObject(CvPitchNames().noteToPitch(event.note));
  return data;
}
