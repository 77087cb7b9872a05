#include "link/CvLingeringSocket.h"

#include <array>
#include <memory>
#include <utility>

struct CvLingeringSocketConnection::Linger {
  Linger(boost::asio::io_service& service,
         websocketpp::transport::asio::socket::shutdown_handler done)
      : timer(service), handler(std::move(done)) {}

  std::shared_ptr<websocketpp::transport::asio::basic_socket::connection> owner;
  std::array<char, 64 * 1024> buffer;
  boost::asio::steady_timer timer;
  websocketpp::transport::asio::socket::shutdown_handler handler;
};

websocketpp::lib::error_code CvLingeringSocketConnection::init_asio(io_service_ptr service,
                                                                    strand_ptr strand,
                                                                    bool isServer) {
  service_ = service;
  strand_ = strand;
  return websocketpp::transport::asio::basic_socket::connection::init_asio(service, strand,
                                                                          isServer);
}

void CvLingeringSocketConnection::async_shutdown(
    websocketpp::transport::asio::socket::shutdown_handler handler) {
  boost::system::error_code ignored;
  // The library's own read still waiting on the socket ends now; from here on the
  // bytes that come are dropped.
  get_socket().cancel(ignored);
  get_socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  auto linger = std::make_shared<Linger>(*service_, std::move(handler));
  linger->owner = get_shared();
  linger->timer.expires_after(kLingerLimit);
  auto onTimeUp = [linger](const boost::system::error_code& error) {
    boost::system::error_code ignoredToo;
    if (!error) linger->owner->get_socket().cancel(ignoredToo);
  };
  if (strand_) {
    linger->timer.async_wait(strand_->wrap(onTimeUp));
  } else {
    linger->timer.async_wait(onTimeUp);
  }
  drain(linger);
}

void CvLingeringSocketConnection::drain(const std::shared_ptr<Linger>& linger) {
  auto onRead = [this, linger](const boost::system::error_code& error, size_t) {
    if (!error) {
      drain(linger);
      return;
    }
    // The client closed its side, the connection broke or the time is up: the socket
    // may go. The library reads any error given here as a shutdown cancelled, so none
    // is given.
    linger->timer.cancel();
    linger->handler(boost::system::error_code());
  };
  auto buffer = boost::asio::buffer(linger->buffer);
  if (strand_) {
    get_socket().async_read_some(buffer, strand_->wrap(onRead));
  } else {
    get_socket().async_read_some(buffer, onRead);
  }
}
