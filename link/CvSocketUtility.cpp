#include "link/CvSocketUtility.h"

#include <exception>
#include <locale>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <json/reader.h>
#include <json/writer.h>

#include "service/CvLog.h"

namespace CvSocketUtility {

namespace {

// Reads one text member in its own guard; a failure logs errorLine and leaves field
// as it was.
void readText(const Json::Value& root, const char* key, std::string& field,
              const char* errorLine) {
  try {
    field = root[key].asString();
  } catch (const std::exception& e) {
    cvlog::error(errorLine, e.what());
  }
}

// The JSON text as valid UTF-8, so that a text frame carrying it is never refused.
// Stored text may hold what UTF-8 cannot: a lone surrogate that arrived as an escape
// ("\udc80", which the reader turns into its three-byte form) goes back out as that
// escape, and each stretch of bytes that begins no character (bytes saved over a binary
// frame) as U+FFFD. Every non-ASCII byte of JSON text stands inside a string, where an
// escape is valid.
std::string asValidUtf8(const std::string& json) {
  static const char kReplacement[] = "\xef\xbf\xbd";
  auto byteAt = [&json](size_t i) -> unsigned {
    return i < json.size() ? static_cast<unsigned char>(json[i]) : 0u;
  };
  std::string out;
  out.reserve(json.size());
  size_t i = 0;
  while (i < json.size()) {
    unsigned lead = byteAt(i);
    if (lead < 0x80) {
      out.push_back(json[i++]);
      continue;
    }
    // The length the lead byte announces and the range its second byte must lie in.
    size_t length = 0;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    unsigned second = byteAt(i + 1);
    if (length == 0 || second < low || second > high) {
      out += kReplacement;
      ++i;
      continue;
    }
    size_t good = 2;
    while (good < length && byteAt(i + good) >= 0x80 && byteAt(i + good) <= 0xBF) ++good;
    if (good < length) {
      out += kReplacement;  // one for the cut-off sequence as a whole
      i += good;
      continue;
    }
    if (lead == 0xED && second >= 0xA0) {
      unsigned unit = 0xD000 | ((second & 0x3F) << 6) | (byteAt(i + 2) & 0x3F);
      static const char kHex[] = "0123456789abcdef";
      out += "\\ud";
      out.push_back(kHex[(unit >> 8) & 0xF]);
      out.push_back(kHex[(unit >> 4) & 0xF]);
      out.push_back(kHex[unit & 0xF]);
    } else {
      out.append(json, i, length);
    }
    i += length;
  }
  return out;
}

bool isIntegerZero(const Json::Value& value) {
  return (value.type() == Json::intValue || value.type() == Json::uintValue) &&
         value.asLargestInt() == 0;
}

}  // namespace

std::shared_ptr<CvRequest> parseRequest(const std::string& text) {
  try {
    cvlog::info("[CvUtility] JSON REQUEST:%s", text);
    auto request = std::make_shared<CvRequest>();
    if (text.empty()) return nullptr;

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    Json::Value root;
    std::string errors;
    std::istringstream stream(text);
    if (!Json::parseFromStream(builder, stream, &root, &errors)) {
      cvlog::error("[CvSocketUtility] jsoncpp parse fail");
      request->clientID.clear();
      request->clientSecret.clear();
      request->methodName = -1;
      return request;
    }

    const Json::Value& object = root;
    readText(object, "clientID", request->clientID, "[CvUtility] get client id error %s");
    readText(object, "clientSecret", request->clientSecret,
             "[CvUtility] get client secret error %s");
    try {
      request->data = object["data"];
    } catch (const std::exception& e) {
      cvlog::error("[CvUtility] get data error %s", e.what());
    }
    try {
      request->methodName = object["methodName"].asInt();
    } catch (const std::exception&) {
      cvlog::warn("[CvUtility] Json request not containing method name");
    }
    readText(object, "token", request->token, "[CvUtility] get token error %s");
    readText(object, "installationId", request->installationId,
             "[CvUtility] get installation id error %s");
    readText(object, "expiredDate", request->expiredDate,
             "[CvUtility] get expired date error %s");
    readText(object, "encoding", request->encoding, "[CvUtility] get encoding error %s");
    readText(object, "requestDate", request->requestDate,
             "[CvUtility] get request date error %s");
    return request;
  } catch (...) {
    return nullptr;
  }
}

std::string encodeResponse(const CvResponse& response) {
  Json::Value root(Json::objectValue);
  if (!response.clientID.empty()) root["clientID"] = response.clientID;
  if (!response.clientSecret.empty()) root["clientSecret"] = response.clientSecret;
  if (!isIntegerZero(response.data)) root["data"] = response.data;
  root["responseCode"] = response.responseCode;
  root["errorMessage"] = response.errorMessage;
  if (!response.token.empty()) root["token"] = response.token;
  if (!response.expiredDate.empty()) root["expiredDate"] = response.expiredDate;
  if (!response.encoding.empty()) root["encoding"] = response.encoding;
  if (!response.responseDate.empty()) root["responseDate"] = response.responseDate;

  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  std::string text = asValidUtf8(Json::writeString(builder, root)) + "\n";
  cvlog::info("[CvUtility] write json success %s", text);
  return text;
}

boost::posix_time::ptime utcNow() {
  return boost::posix_time::microsec_clock::universal_time();
}

std::string nowText() {
  std::ostringstream stream;
  // The stream's locale owns and frees the facet.
  stream.imbue(std::locale(stream.getloc(),
                           new boost::posix_time::time_facet("%Y-%m-%d %H:%M:%s")));
  stream << utcNow();
  return stream.str();
}

std::string numberToString(int value) {
  try {
    return boost::lexical_cast<std::string>(value);
  } catch (const std::exception& e) {
    cvlog::error("[CvUtility] convert number to string error: %s", e.what());
    return std::string();
  }
}

void logInfoText(const std::string& text) { cvlog::category().info(text); }

void waitMilliseconds(std::chrono::steady_clock::time_point start, long ms,
                      const std::atomic<bool>* whileSet) {
  auto due = start + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < due && (whileSet == nullptr || whileSet->load())) {
  }
}

std::string newUuidText() {
  boost::uuids::random_generator_mt19937 generator;
  return boost::uuids::to_string(generator());
}

}  // namespace CvSocketUtility
