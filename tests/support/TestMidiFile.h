// Standard MIDI Files made in code, so that a test reads like a score:
//
//   TestMidiFile song(1, 480);
//   song.track().tempo(0, 100);
//   song.track().noteOn(0, 0, 60, 100).noteOff(480, 0, 60);
//   song.write(path);
//
// Every event takes its delta time in ticks first. Nothing is validated: invalid
// formats, divisions, track counts and chunk lengths are written as given, for tests
// of what a reader does with a broken file.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>

class TestMidiFile {
 public:
  // One "MTrk" chunk.
  class Track {
   public:
    Track& noteOn(uint32_t delta, int channel, int note, int velocity);
    Track& noteOff(uint32_t delta, int channel, int note, int velocity = 64);
    Track& controller(uint32_t delta, int channel, int number, int value);
    Track& programChange(uint32_t delta, int channel, int program);
    // value 0 to 16383, 8192 being the centre.
    Track& pitchBend(uint32_t delta, int channel, int value);
    // A channel message with any status byte and data bytes.
    Track& message(uint32_t delta, int status, std::initializer_list<int> data);

    Track& tempo(uint32_t delta, double beatsPerMinute);  // meta 0x51
    Track& text(uint32_t delta, const std::string& text);  // meta 0x01
    // numerator / 2^denominatorPower, 24 clocks a click, 8 32nds a quarter.
    Track& timeSignature(uint32_t delta, int numerator, int denominatorPower);
    Track& meta(uint32_t delta, int type, const std::string& data);
    // F0, the length (data and the closing F7), data, F7.
    Track& sysEx(uint32_t delta, std::initializer_list<int> data);
    // Bytes written as they are, delta time included: anything odd. The running
    // status stays as it was.
    Track& raw(std::initializer_list<int> bytes);

    // From now on a channel message whose status byte equals the previous one is
    // written without it. Meta and SysEx events cancel the running status.
    Track& useRunningStatus(bool on = true);
    // Leaves out the End of Track event (FF 2F 00) that bytes() appends.
    Track& withoutEndOfTrack();
    // Writes this length in the chunk header instead of the true one.
    Track& declaredLength(uint32_t length);

    std::string bytes() const;

   private:
    void delta(uint32_t ticks);
    void put(std::initializer_list<int> bytes);

    std::string events_;
    int lastStatus_ = 0;
    bool runningStatus_ = false;
    bool endOfTrack_ = true;
    std::optional<uint32_t> declaredLength_;
  };

  // format and division are written as given: 0, 1, 2 or anything else; ticks per
  // quarter, or smpteDivision(...).
  explicit TestMidiFile(int format = 1, int division = 480);

  // A time-code division: frames per second (24, 25, 29 or 30) and ticks per frame.
  static int smpteDivision(int framesPerSecond, int ticksPerFrame);

  // Adds a track; the reference stays valid as more tracks are added.
  Track& track();
  Track& track(size_t index) { return tracks_.at(index); }

  // Writes this count in the header instead of the number of tracks.
  TestMidiFile& declaredTracks(int count);

  // The whole file: "MThd" header, then the tracks in order.
  std::string bytes() const;
  void write(const std::string& path) const;

 private:
  int format_;
  int division_;
  std::optional<int> declaredTracks_;
  std::deque<Track> tracks_;
};
