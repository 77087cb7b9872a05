// A WebSocket opening handshake written by hand on a plain TCP socket, for tests that
// need what a library client hides: the HTTP status of a refused handshake, or a
// connection cut before any answer, how a connection ends after a frame cut short; and
// a plain HTTP request the same way. Only numeric
// addresses, no name lookup.
#pragma once

#include <cstdint>
#include <string>

// The HTTP status the server answers (101 when the handshake is accepted), 0 when the
// server closed the connection without answering, -1 when no TCP connection opened.
// origin is sent as the Origin header when not empty.
int handshakeStatus(const std::string& address, int port = 19420,
                    const std::string& origin = "");

// A plain HTTP/1.1 request (no upgrade) with the Host header given ("localhost:19420"
// when empty); the whole answer as the server sent it until it closed, empty when no
// TCP connection opened.
std::string httpAnswer(const std::string& address, const std::string& method,
                       const std::string& path, const std::string& host = "",
                       int port = 19420);
// The status of an HTTP answer; 0 when it is not one.
int httpStatus(const std::string& answer);

// What came back after a frame that was cut short, and how the connection ended.
struct CutShortFrame {
  enum Ending { kInOrder, kReset, kStillOpen };
  bool opened = false;    // the handshake was accepted
  std::string received;   // every byte after the handshake's answer
  Ending ended = kStillOpen;
};
// Opens a WebSocket by hand and sends the start of one binary frame that announces
// announced payload bytes, then sent bytes of that payload, and nothing more; then reads
// until the server ends the connection (or 5 s pass without a byte). An orderly end
// counts as a reset when a reset follows within a second; then it closes.
CutShortFrame sendFrameStart(const std::string& address, uint64_t announced, size_t sent,
                             int port = 19420);
