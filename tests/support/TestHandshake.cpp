#include "tests/support/TestHandshake.h"

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
