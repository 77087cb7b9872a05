// A WebSocket opening handshake written by hand on a plain TCP socket, for tests that
// need what a library client hides: the HTTP status of a refused handshake, or a
// connection cut before any answer. Only numeric addresses, no name lookup.
#pragma once

#include <string>

// The HTTP status the server answers (101 when the handshake is accepted), 0 when the
// server closed the connection without answering, -1 when no TCP connection opened.
// origin is sent as the Origin header when not empty.
int handshakeStatus(const std::string& address, int port = 19420,
                    const std::string& origin = "");
