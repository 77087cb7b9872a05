#include "store/CvDeviceSqlite.h"

#include <charconv>

#include "midi/CvMidiState.h"
#include "service/CvLog.h"
#include "store/CvDatabase.h"

namespace {

// The number the text starts with; 0 for empty or garbage text, never a throw.
int leadingNumber(const std::string& text) {
  int value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

bool CvDeviceSqlite::insertDevice(const std::string& deviceName, const std::string& isLatest,
                                  const std::string& createdDate,
                                  const std::string& modifiedDate) {
  return g_local_db->execute(
      "INSERT INTO Device (deviceName, createdDate, modifiedDate, isLatest, lowestNote, "
      "highestNote) VALUES ( ?1, ?2, ?3, ?4,'0','0')",
      {deviceName, createdDate, modifiedDate, isLatest}, nullptr,
      [](const std::string& text) { cvlog::out("[CvDeviceSqlite] insert device fail %s\n", text); },
      [](const std::string& text) {
        cvlog::out("[CvDeviceSqlite] insert device sqlite fail: %s\n", text);
      });
}

bool CvDeviceSqlite::updateDevice(const std::string& deviceName, const std::string& isLatest,
                                  const std::string& modifiedDate) {
  auto fail = [](const std::string& text) {
    cvlog::error("[CvDeviceSqlite] update device fail %s", text);
  };
  return g_local_db->execute(
      "UPDATE Device SET isLatest=?1, modifiedDate=?2 WHERE deviceName=?3",
      {isLatest, modifiedDate, deviceName}, nullptr, fail, fail);
}

bool CvDeviceSqlite::updateLowestHighestKey(const std::string& deviceName, int lowestNote,
                                            int highestNote, const std::string& modifiedDate) {
  std::string lowest = std::to_string(lowestNote);
  std::string highest = std::to_string(highestNote);
  // The statement as it would read with the values in place; it is only shown, the
  // values themselves are bound.
  cvlog::out("Insert command %s \n",
             "UPDATE Device SET lowestNote = '" + lowest + "', highestNote='" + highest +
                 "', modifiedDate='" + modifiedDate + "',isLatest = 1 WHERE deviceName='" +
                 deviceName + "'");
  return g_local_db->execute(
      "UPDATE Device SET lowestNote = ?1, highestNote=?2, modifiedDate=?3,isLatest = 1 "
      "WHERE deviceName=?4",
      {lowest, highest, modifiedDate, deviceName}, nullptr,
      [](const std::string& text) { cvlog::error("[CvDeviceSqlite] update device fail %s", text); },
      [](const std::string& text) {
        cvlog::error("[CvDeviceSqlite] update device slowest highest key %s", text);
      });
}

bool CvDeviceSqlite::queryDevice(const std::string& sql, const std::vector<std::string>& values) {
  bool ran = g_local_db->execute(
      sql, values,
      [this](const CvDatabase::Row& row) {
        deviceName = row.at(0);
        isLatest = row.at(4) != "0";
        lowestNote = leadingNumber(row.at(5));
        highestNote = leadingNumber(row.at(6));
      },
      [](const std::string& text) {
        cvlog::error("[CvDeviceSqlite] can not query table Device %s", text);
      },
      [](const std::string& text) {
        cvlog::error("[CvDeviceSqlite] check device exist per user %s", text);
      });
  return ran && !deviceName.empty();
}

bool CvDeviceSqlite::getLatestDevice() {
  return queryDevice("SELECT * FROM Device WHERE isLatest = 1 limit 1", {});
}

bool CvDeviceSqlite::getDeviceByName(const std::string& name) {
  if (name.empty()) return false;
  cvlog::out("g_midi_device_info.currentMidiDevice.instrument_name: %s\n", currentDeviceName());
  cvlog::out("CvDeviceSqlite::deviceName: %s\n", name);
  return queryDevice("SELECT * FROM Device WHERE deviceName = ?1", {name});
}

bool CvDeviceSqlite::resetLatestDevice() {
  return g_local_db->execute(
      "UPDATE Device SET isLatest = 0", {}, nullptr,
      [](const std::string& text) { cvlog::error("[CvDeviceSqlite] update device fail %s", text); },
      [](const std::string& text) {
        cvlog::error("[CvDeviceSqlite] reset latest device fail %s", text);
      });
}
