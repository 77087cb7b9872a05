// The cache commands' Base64 decoder on arbitrary text. It reads the run of alphabet
// characters before the first "=" or other character; that run fixes how many bytes
// come out, and encoding those bytes again must give back the run's whole groups.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>

#include "store/CvCacheFolder.h"

namespace {

// Boost's encoder, unpadded: the reference the decoder is checked against.
std::string encode(const std::string& bytes) {
  using namespace boost::archive::iterators;
  using Encoder = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
  return std::string(Encoder(bytes.begin()), Encoder(bytes.end()));
}

size_t alphabetRun(const std::string& text) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t run = text.find_first_not_of(kAlphabet);
  return run == std::string::npos ? text.size() : run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string bytes = decodeBase64(text);

  size_t run = alphabetRun(text);
  static const size_t kTailBytes[4] = {0, 0, 1, 2};
  if (bytes.size() != run / 4 * 3 + kTailBytes[run % 4]) std::abort();
  size_t whole = run - run % 4;
  if (encode(bytes).compare(0, whole, text, 0, whole) != 0) std::abort();
  if (decodeBase64(encode(bytes)) != bytes) std::abort();
  return 0;
}
