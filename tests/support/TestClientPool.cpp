#include "tests/support/TestClientPool.h"

// One connection's state. Changed on the loop thread; read by run() and connect()
// under the pool's mutex.
struct TestClientPool::Connection {
  size_t index = 0;
  websocketpp::connection_hdl handle;
  bool open = false;
  bool settled = false;  // opened or failed
  bool running = false;  // taking part in the current run
  size_t sequence = 0;
  std::string request;  // the request waiting for its answer; empty when none
};

TestClientPool::TestClientPool() {
  client_.clear_access_channels(websocketpp::log::alevel::all);
  client_.clear_error_channels(websocketpp::log::elevel::all);
  client_.init_asio();
  client_.start_perpetual();
  loop_ = std::thread([this] { client_.run(); });
}

TestClientPool::~TestClientPool() {
  close();
  client_.stop_perpetual();
  client_.stop();
  loop_.join();
}

size_t TestClientPool::connect(size_t count, int port, const std::string& host,
                               std::chrono::milliseconds timeout) {
  std::string uri = "ws://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                    ":" + std::to_string(port) + "/";
  std::vector<Connection*> made;
  for (size_t i = 0; i < count; ++i) {
    websocketpp::lib::error_code code;
    Client::connection_ptr link = client_.get_connection(uri, code);
    if (code) break;
    Connection* connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.push_back(std::make_unique<Connection>());
      connection = connections_.back().get();
      connection->index = connections_.size() - 1;
    }
    connection->handle = link->get_handle();
    link->set_open_handler([this, connection](websocketpp::connection_hdl) {
      std::lock_guard<std::mutex> lock(mutex_);
      connection->open = connection->settled = true;
      changed_.notify_all();
    });
    link->set_fail_handler([this, connection](websocketpp::connection_hdl) {
      std::lock_guard<std::mutex> lock(mutex_);
      connection->settled = true;
      changed_.notify_all();
    });
    link->set_close_handler([this, connection](websocketpp::connection_hdl) {
      std::lock_guard<std::mutex> lock(mutex_);
      connection->open = false;
      if (connection->running) {
        ++tally_.closed;
        finish(*connection);
      }
      changed_.notify_all();
    });
    link->set_message_handler(
        [this, connection](websocketpp::connection_hdl, Client::message_ptr message) {
          onAnswer(*connection, message->get_payload());
        });
    made.push_back(connection);
    client_.connect(link);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] {
    for (Connection* connection : made) {
      if (!connection->settled) return false;
    }
    return true;
  });
  size_t open = 0;
  for (Connection* connection : made) open += connection->open ? 1 : 0;
  return open;
}

// Called with mutex_ held.
void TestClientPool::finish(Connection& connection) {
  if (!connection.running) return;
  connection.running = false;
  --busy_;
  changed_.notify_all();
}

void TestClientPool::sendNext(Connection& connection) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connection.running) return;
    if (std::chrono::steady_clock::now() >= until_) {
      finish(connection);
      return;
    }
    text = (*script_)(connection.index, connection.sequence++);
    connection.request = text;
    ++tally_.sent;
  }
  websocketpp::lib::error_code code;
  client_.send(connection.handle, text, websocketpp::frame::opcode::text, code);
  if (code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tally_.faults.size() < 5) tally_.faults.push_back("send failed: " + code.message());
    finish(connection);
  }
}

void TestClientPool::onAnswer(Connection& connection, const std::string& answer) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connection.running) return;  // a late answer after its run ended
    std::string fault = connection.request.empty()
                            ? std::string("an answer nothing asked for")
                            : (*check_)(connection.request, answer);
    if (fault.empty()) {
      ++tally_.answered;
    } else {
      ++tally_.wrong;
      if (tally_.faults.size() < 5) {
        tally_.faults.push_back(fault + "\n  request: " + connection.request.substr(0, 300) +
                                "\n  answer: " + answer.substr(0, 300));
      }
    }
    connection.request.clear();
  }
  if (pause_.count() > 0) {
    client_.set_timer(static_cast<long>(pause_.count()),
                      [this, &connection](const websocketpp::lib::error_code& code) {
                        if (!code) sendNext(connection);
                      });
  } else {
    sendNext(connection);
  }
}

TestClientPool::Tally TestClientPool::run(const Script& script, const Check& check,
                                          std::chrono::milliseconds duration,
                                          std::chrono::milliseconds pause,
                                          std::chrono::milliseconds answerTimeout) {
  std::vector<Connection*> taking;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = &script;
    check_ = &check;
    until_ = std::chrono::steady_clock::now() + duration;
    pause_ = pause;
    tally_ = Tally();
    busy_ = 0;
    for (std::unique_ptr<Connection>& connection : connections_) {
      if (!connection->open) continue;
      connection->running = true;
      connection->sequence = 0;
      connection->request.clear();
      ++busy_;
      taking.push_back(connection.get());
    }
  }
  for (Connection* connection : taking) {
    client_.get_io_service().post([this, connection] { sendNext(*connection); });
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, until_ + answerTimeout, [this] { return busy_ == 0; });
  for (Connection* connection : taking) {
    if (!connection->request.empty()) ++tally_.unanswered;
    connection->request.clear();
    connection->running = false;
  }
  busy_ = 0;
  return tally_;
}

void TestClientPool::close() {
  std::vector<websocketpp::connection_hdl> handles;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::unique_ptr<Connection>& connection : connections_) {
      if (connection->open) handles.push_back(connection->handle);
    }
  }
  for (websocketpp::connection_hdl& handle : handles) {
    websocketpp::lib::error_code ignored;
    client_.close(handle, websocketpp::close::status::normal, "", ignored);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(10), [this] {
    for (std::unique_ptr<Connection>& connection : connections_) {
      if (connection->open) return false;
    }
    return true;
  });
}
