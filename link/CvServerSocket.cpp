#include "link/CvServerSocket.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "link/CvDiagnosticsPage.h"
#include "link/CvFlowChain.h"
#include "link/CvKeepAliveRegistry.h"
#include "link/CvSocketUtility.h"
#include "platform/platform.h"
#include "service/CvService.h"
#include "service/CvLog.h"
#include "session/CvPingFlow.h"

namespace {

const int kEventLoopThreads = 1000;
const int kListenBacklog = 8192;

}  // namespace

CvServerSocket::CvServerSocket(int port)
    : port(port),
      gate_(platform::joinPath(g_install_path, ORIGIN_LIST_RELATIVE_PATH),
            platform::joinPath(platform::shippedFilesFolder(), SHIPPED_ORIGIN_LIST_NAME), port),
      page_(std::make_unique<CvDiagnosticsPage>(port)) {}

CvServerSocket::~CvServerSocket() = default;

void CvServerSocket::run() {
  threadCount = kEventLoopThreads;
  start();
}

bool CvServerSocket::start() {
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  try {
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.clear_error_channels(websocketpp::log::elevel::all);
    endpoint.init_asio();
    endpoint.set_reuse_addr(true);
    endpoint.set_message_handler(websocketpp::lib::bind(&on_message, &endpoint, _1, _2));
    // The library's socket-init hook fires before the socket is accepted, when no
    // option can be set yet; the accepted socket is handed over once TCP is up.
    endpoint.set_tcp_post_init_handler([this](websocketpp::connection_hdl handle) {
      try {
        boost::asio::ip::tcp::socket& socket = endpoint.get_con_from_hdl(handle)->get_raw_socket();
        if (admit_peer(socket)) on_socket_init(handle, socket);
      } catch (...) {
        cvlog::error("[CvServerSocket] error in on socket init");
      }
    });
    endpoint.set_validate_handler([this](websocketpp::connection_hdl handle) {
      return validate_origin(handle);
    });
    endpoint.set_http_handler([this](websocketpp::connection_hdl handle) {
      try {
        page_->Answer(endpoint.get_con_from_hdl(handle));
      } catch (...) {
        cvlog::error("[CvServerSocket] error in http handler");
      }
    });
    endpoint.set_close_handler(websocketpp::lib::bind(&CvServerSocket::on_close, this, _1));
    endpoint.set_listen_backlog(kListenBacklog);
    endpoint.listen(boost::asio::ip::tcp::v6(), static_cast<uint16_t>(port));
    endpoint.start_accept();
    if (threadCount == 1) {
      endpoint.run();
    } else {
      runLoopThreads();
    }
  } catch (const websocketpp::lib::error_code& code) {
    cvlog::error("[CvServerSocket] error code: %s", code.message());
  } catch (const std::exception& e) {
    cvlog::error("[CvServerSocket] exeception: %s", e.what());
  } catch (...) {
    cvlog::error("[CvServerSocket] other exception");
  }
  return true;
}

void CvServerSocket::runLoopThreads() {
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(threadCount));
  try {
    for (int i = 0; i < threadCount; ++i) {
      threads.emplace_back([this] { endpoint.run(); });
    }
  } catch (const std::exception& e) {
    // The system gave no more threads (a task or memory limit). The ones started are
    // taken back before the error goes on to be logged, and the worker tries again.
    websocketpp::lib::error_code ignored;
    endpoint.stop_listening(ignored);
    endpoint.stop();
    for (std::thread& thread : threads) thread.join();
    throw std::runtime_error("event-loop thread " + std::to_string(threads.size() + 1) + " of " +
                             std::to_string(threadCount) + " could not start: " + e.what());
  }
  for (std::thread& thread : threads) thread.join();
}

void CvServerSocket::on_socket_init(websocketpp::connection_hdl,
                                    boost::asio::ip::tcp::socket& socket) {
  try {
    socket.set_option(boost::asio::ip::tcp::no_delay(true));
  } catch (...) {
    cvlog::error("[CvServerSocket] error in on socket init");
  }
}

bool CvServerSocket::admit_peer(boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code error;
  boost::asio::ip::tcp::endpoint peer = socket.remote_endpoint(error);
  if (!error && CvConnectionGate::IsLoopback(peer.address())) return true;
  cvlog::info("[CvServerSocket] refused connection from %s: not a loopback address",
              error ? std::string("an unknown address") : peer.address().to_string());
  // Shutting down, not closing: the library still owns the socket, and its handshake
  // read now ends at once and tears the connection down.
  socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, error);
  return false;
}

bool CvServerSocket::validate_origin(websocketpp::connection_hdl handle) {
  try {
    CvServerEndpoint::connection_ptr connection = endpoint.get_con_from_hdl(handle);
    const std::string& origin = connection->get_origin();
    if (gate_.AllowsOrigin(origin)) return true;
    cvlog::info("[CvServerSocket] refused handshake from origin %s: not in allowed-origins.txt",
                origin);
    connection->set_status(websocketpp::http::status_code::forbidden);
  } catch (...) {
    cvlog::error("[CvServerSocket] error in validate");
  }
  return false;
}

void CvServerSocket::on_close(websocketpp::connection_hdl handle) {
  if (!g_keep_alive_connections.closeConnection(handle)) {
    cvlog::out("[CvServerSocket] on_close is not: KEEP ALIVE\n");
    return;
  }
  cvlog::info("[CvServerSocket] KEEP ALIVE is closed\n");
}

void on_message(CvServerEndpoint* endpoint, websocketpp::connection_hdl handle,
                CvServerEndpoint::message_ptr message) {
  try {
    const std::string& payload = message->get_payload();
    std::shared_ptr<CvRequest> request = CvSocketUtility::parseRequest(payload);
    if (request != nullptr && request->methodName == KEEP_ALIVE_CODE) {
      g_keep_alive_connections.markKeepAlive(handle);
      cvlog::info("[CvServerSocket]-KEEP ALIVE REQUEST........\n");
      // The keep-alive answer is the ping answer: the plugin version in the
      // envelope every command answers with.
      endpoint->send(handle, CvPingFlow(request).Process(), message->get_opcode());
      return;
    }

    CvFlowChain chain = CreateFlowChain(payload);
    for (std::unique_ptr<CvBaseFlow>& flow : chain.flows) {
      if (RunFlow(*flow) != 1) continue;
      if (flow->result.empty()) {
        cvlog::out("responseMessage = ''\n");
      } else {
        try {
          endpoint->send(handle, flow->result, message->get_opcode());
        } catch (const std::exception& e) {
          // A failed send is the connection's concern; it is not retried, but said.
          cvlog::error("[CvServerSocket] answer not sent: %s", e.what());
        }
      }
      break;
    }
  } catch (...) {
  }
  platform::releaseUnusedStack();
}
