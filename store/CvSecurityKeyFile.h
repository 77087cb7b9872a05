// The key file each client may park in the cache folder: where it lives and how its
// content is scrambled. Pure functions, safe from any thread.
#pragma once

#include <string>

// XOR with a 3-byte scrambling key, repeated; the result has the input's length and
// may hold any byte, zero included. Its own inverse.
std::string scrambleKey(const std::string& text);

// The cache folder's entry clientID + "EncryptionKey", or empty text when clientID
// could name something outside that folder (a separator, ".", "..", a NUL byte).
// An empty clientID is allowed and gives the file "EncryptionKey".
std::string securityKeyPath(const std::string& clientID);
