// One row of the Device table: a MIDI keyboard the service has seen. Queries fill
// the object they are called on (pass a fresh one); the rest take plain values.
#pragma once

#include <string>
#include <vector>

class CvDeviceSqlite {
 public:
  bool insertDevice(const std::string& deviceName, const std::string& isLatest,
                    const std::string& createdDate, const std::string& modifiedDate);
  bool updateDevice(const std::string& deviceName, const std::string& isLatest,
                    const std::string& modifiedDate);
  bool updateLowestHighestKey(const std::string& deviceName, int lowestNote, int highestNote,
                              const std::string& modifiedDate);
  bool getLatestDevice();                               // true when a row was found
  bool getDeviceByName(const std::string& deviceName);  // true when a row was found
  bool resetLatestDevice();

  std::string deviceName;
  std::string createdDate;
  std::string modifiedDate;
  std::string remark;
  bool isLatest = false;
  int lowestNote = 0;
  int highestNote = 0;

 private:
  // Runs a SELECT * on Device; every row fills this object, the last one wins.
  bool queryDevice(const std::string& sql, const std::vector<std::string>& values);
};
