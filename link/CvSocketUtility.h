// Envelope coding and the small helpers every command shares. All operations work on
// their own values only and may run on many event-loop threads at once.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "link/CvRequest.h"
#include "link/CvResponse.h"

namespace CvSocketUtility {

// Decodes one message. Null for empty text. Text that is not JSON gives a record
// with methodName -1; a member that cannot be read keeps its initial value.
std::shared_ptr<CvRequest> parseRequest(const std::string& text);

// One line of compact JSON, members in byte order of their names, then "\n". Always
// valid UTF-8: in a text that is not, a lone surrogate is written as its "\uXXXX"
// escape and every other stretch of bytes that is no character as U+FFFD.
std::string encodeResponse(const CvResponse& response);

// Current UTC time as "%Y-%m-%d %H:%M:%s": seconds with six fraction digits.
std::string nowText();

// UTC wall clock at microsecond resolution.
boost::posix_time::ptime utcNow();

// Decimal text of value; empty text on failure.
std::string numberToString(int value);

// Logs text as one INFO line, as it stands.
void logInfoText(const std::string& text);

// Spins until ms milliseconds have passed since start, or until *whileSet (when
// given) is false, so a stop ends the wait within moments. Does not sleep: the
// count-off needs the beat on time. A steady clock, so a wall-clock step cannot
// stretch a beat.
void waitMilliseconds(std::chrono::steady_clock::time_point start, long ms,
                      const std::atomic<bool>* whileSet = nullptr);

// A new random (version 4) UUID in its canonical 36-character lower-case form.
std::string newUuidText();

}  // namespace CvSocketUtility
