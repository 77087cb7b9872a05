// The WebSocket library's plain TCP socket with one change: closing a connection
// first sends what was written (a close frame), then reads and drops whatever the
// client still sends until the client closes its side, or kLingerLimit has passed,
// and only then lets the socket go. A socket let go with unread bytes in it resets the
// connection, and the reset can reach the client before it has read the close frame:
// it would see 1006 in place of 1009 after a message past the size limit (whose rest
// is still on its way), however fast the close frame was written.
//
// A socket policy in the library's shape: CvLingeringSocket is the endpoint half
// named in the server's configuration, CvLingeringSocketConnection the half every
// connection carries. Both are used only through the library, on its loop threads;
// a connection's handlers run on its strand.
#pragma once

#include <chrono>

#include <websocketpp/transport/asio/security/none.hpp>

class CvLingeringSocketConnection
    : public websocketpp::transport::asio::basic_socket::connection {
 public:
  typedef CvLingeringSocketConnection type;

  // How long a closing connection waits for the client to close its side. Shorter
  // than the library's own wait for a socket shutdown (kShutdownLimitMs).
  static constexpr std::chrono::seconds kLingerLimit{10};
  static constexpr long kShutdownLimitMs = 15000;

 protected:
  websocketpp::lib::error_code init_asio(io_service_ptr service, strand_ptr strand,
                                         bool isServer);
  void async_shutdown(websocketpp::transport::asio::socket::shutdown_handler handler);

 private:
  struct Linger;
  void drain(const std::shared_ptr<Linger>& linger);

  io_service_ptr service_ = nullptr;
  strand_ptr strand_;
};

class CvLingeringSocket : public websocketpp::transport::asio::basic_socket::endpoint {
 public:
  typedef CvLingeringSocket type;
  typedef CvLingeringSocketConnection socket_con_type;
  typedef socket_con_type::ptr socket_con_ptr;
};
