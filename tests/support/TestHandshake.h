// A WebSocket opening handshake written by hand on a plain TCP socket, for tests that
// need what a library client hides: the HTTP status of a refused handshake, or a
// connection cut before any answer; and a plain HTTP request the same way. Only numeric
// addresses, no name lookup.
#pragma once

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
