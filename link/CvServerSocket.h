// The service's WebSocket server: plain ws on the IPv6 wildcard address, its event
// loop on a pool of threads. Only loopback peers are served, and only allowed web
// origins where the installation lists them (CvConnectionGate). Keep-alive requests (code 31) are answered here; every
// other message goes down the command chain and the answer goes back on the same
// connection with the opcode it came with. A plain HTTP request gets the diagnostics
// page (CvDiagnosticsPage). Handlers run on any loop thread.
#pragma once

#include <memory>

#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "link/CvConnectionGate.h"
#include "link/CvLingeringSocket.h"

class CvDiagnosticsPage;

// The library's multithreaded Asio configuration without TLS.
// Its sockets linger on close (CvLingeringSocket), so that a close frame is read
// before the connection goes.
struct testee_config : public websocketpp::config::asio {
  typedef testee_config type;
  typedef websocketpp::config::asio base;
  static bool const enable_multithreading = true;
  struct transport_config : public base::transport_config {
    static bool const enable_multithreading = true;
    typedef CvLingeringSocket socket_type;
    static const long timeout_socket_shutdown = CvLingeringSocketConnection::kShutdownLimitMs;
  };
  typedef websocketpp::transport::asio::endpoint<transport_config> transport_type;
};

typedef websocketpp::server<testee_config> CvServerEndpoint;

const int KEEP_ALIVE_CODE = 31;

class CvServerSocket {
 public:
  // The origin list is looked for beside the database in g_install_path, then among
  // the shipped files.
  explicit CvServerSocket(int port);
  ~CvServerSocket();

  // Starts the server once; returns when it failed to start or its loop ended.
  void run();

  // Listens, accepts and runs threadCount loop threads until all end. Failures are
  // logged; returns true in every case.
  bool start();

  void on_socket_init(websocketpp::connection_hdl handle, boost::asio::ip::tcp::socket& socket);
  void on_close(websocketpp::connection_hdl handle);

  // A peer that is not on this machine is cut off before it can send its handshake;
  // returns false then.
  bool admit_peer(boost::asio::ip::tcp::socket& socket);
  // The handshake's Origin against the list; a refused page gets HTTP 403.
  bool validate_origin(websocketpp::connection_hdl handle);

  int port;
  int threadCount = 1;
  CvServerEndpoint endpoint;

 private:
  // Runs the event loop on threadCount threads until all end. When the system refuses
  // a thread, stops the loop, joins the threads started and raises.
  void runLoopThreads();

  CvConnectionGate gate_;
  std::unique_ptr<CvDiagnosticsPage> page_;
};

void on_message(CvServerEndpoint* endpoint, websocketpp::connection_hdl handle,
                CvServerEndpoint::message_ptr message);
