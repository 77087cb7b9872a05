#include "tests/support/TestHandshake.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

int connectTo(const std::string& address, int port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v6);
  } else {
    return -1;
  }
  int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int handshakeStatus(const std::string& address, int port, const std::string& origin) {
  int fd = connectTo(address, port);
  if (fd < 0) return -1;
  std::string request =
      "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
  if (!origin.empty()) request += "Origin: " + origin + "\r\n";
  request += "\r\n";
  // A peer refused at once may already have been cut off; the answer tells.
  (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[512];
  while (answer.find("\r\n") == std::string::npos) {
    ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return httpStatus(answer);
}

int httpStatus(const std::string& answer) {
  // "HTTP/1.1 101 Switching Protocols"
  if (answer.compare(0, 5, "HTTP/") != 0) return 0;
  size_t space = answer.find(' ');
  return space == std::string::npos ? 0 : std::atoi(answer.c_str() + space + 1);
}

std::string httpAnswer(const std::string& address, const std::string& method,
                       const std::string& path, const std::string& host, int port) {
  int fd = connectTo(address, port);
  if (fd < 0) return "";
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: " +
                        (host.empty() ? "localhost:" + std::to_string(port) : host) +
                        "\r\nConnection: close\r\n\r\n";
  (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  // The receive time-out bounds each wait; the server closes after its answer.
  for (ssize_t got; (got = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
    answer.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return answer;
}

CutShortFrame sendFrameStart(const std::string& address, uint64_t announced, size_t sent,
                             int port) {
  CutShortFrame result;
  int fd = connectTo(address, port);
  if (fd < 0) return result;
  std::string request = "GET / HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Version: 13\r\n\r\n";
  (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  size_t end = std::string::npos;
  while ((end = answer.find("\r\n\r\n")) == std::string::npos) {
    ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  result.opened = end != std::string::npos && httpStatus(answer) == 101;
  if (!result.opened) {
    ::close(fd);
    return result;
  }
  // Binary, final, masked (as a client must), with the 64-bit length form.
  std::string frame = {static_cast<char>(0x82), static_cast<char>(0x80 | 127)};
  for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(announced >> shift));
  frame += std::string("\x11\x22\x33\x44", 4);
  frame += std::string(sent, 'x');
  (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
  result.received = answer.substr(end + 4);
  while (true) {
    ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
    if (got > 0) {
      result.received.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) result.ended = CutShortFrame::kInOrder;
    if (got < 0 && errno == ECONNRESET) result.ended = CutShortFrame::kReset;
    break;
  }
  // A server that let its socket go over unread bytes resets the connection right
  // after its orderly end; one that reads on until this side closes never does.
  for (int look = 0; look < 20 && result.ended == CutShortFrame::kInOrder; ++look) {
    usleep(50 * 1000);
    int error = 0;
    socklen_t length = sizeof(error);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == ECONNRESET || error == EPIPE) result.ended = CutShortFrame::kReset;
  }
  ::close(fd);
  return result;
}
