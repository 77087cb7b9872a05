// A row of the Midi or Exersise table: the modification stamp of a cached song file
// or notation text, as the web application sent it.
#pragma once

#include <string>

class CvCacheSqlite {
 public:
  bool insertMidi(const std::string& midiID, const std::string& lastModifiedDate);
  bool updateMidi(const std::string& midiID, const std::string& lastModifiedDate);
  bool getMidi(const std::string& midiID);  // true when a row was found
  bool insertExersise(const std::string& exersiseId, const std::string& lastModifiedDate);
  bool updateExersise(const std::string& exersiseId, const std::string& lastModifiedDate);
  bool getExersise(const std::string& exersiseId);  // true when a row was found

  std::string id;
  std::string lastModifiedDate;

 private:
  // Runs a SELECT * keyed by one value; every row fills this object, the last one wins.
  bool query(const std::string& sql, const std::string& key, const char* failLine);
};

// Updates the row of midiID when one is found, inserts it otherwise.
bool saveMidiModifiedDate(const std::string& midiID, const std::string& lastModifiedDate);
// The same for an exercise's notation.
bool saveExersiseModifiedDate(const std::string& exersiseId, const std::string& lastModifiedDate);
