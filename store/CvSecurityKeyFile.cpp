#include "store/CvSecurityKeyFile.h"

#include "store/CvCacheFolder.h"

namespace {

// Kept in two pieces so that the key never stands whole in the program file. ASCII
// bytes ("Qx7"), so that a key text equal to them can itself be sent as JSON text.
const unsigned char kKeyHead[2] = {0x51, 0x78};
const unsigned char kKeyTail = 0x37;

bool isSafeOwner(const std::string& clientID) {
  if (clientID == "." || clientID == "..") return false;
  return clientID.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

std::string scrambleKey(const std::string& text) {
  const unsigned char key[3] = {kKeyHead[0], kKeyHead[1], kKeyTail};
  std::string scrambled(text);
  for (std::string::size_type i = 0; i < scrambled.size(); ++i) {
    scrambled[i] = static_cast<char>(static_cast<unsigned char>(scrambled[i]) ^ key[i % 3]);
  }
  return scrambled;
}

std::string securityKeyPath(const std::string& clientID) {
  if (!isSafeOwner(clientID)) return std::string();
  return cacheFilePath(clientID + "EncryptionKey");
}
