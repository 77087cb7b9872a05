#include "tests/support/TestClient.h"

#include <ctime>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

Json::Value parseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value value;
  std::string errors;
  std::istringstream stream(text);
  if (!Json::parseFromStream(builder, stream, &value, &errors)) return Json::Value();
  return value;
}

TestClient::TestClient() {
  client_.clear_access_channels(websocketpp::log::alevel::all);
  client_.clear_error_channels(websocketpp::log::elevel::all);
  client_.init_asio();
  client_.start_perpetual();
  client_.set_open_handler([this](websocketpp::connection_hdl) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  });
  client_.set_fail_handler([this](websocketpp::connection_hdl) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    changed_.notify_all();
  });
  client_.set_close_handler([this](websocketpp::connection_hdl handle) {
    Client::connection_ptr connection = client_.get_con_from_hdl(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    closeCode_ = connection->get_remote_close_code();
    closeReason_ = connection->get_remote_close_reason();
    changed_.notify_all();
  });
  client_.set_message_handler([this](websocketpp::connection_hdl, Client::message_ptr message) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(
        {message->get_payload(), message->get_opcode() == websocketpp::frame::opcode::binary});
    changed_.notify_all();
  });
  loop_ = std::thread([this] { client_.run(); });
}

TestClient::~TestClient() {
  close();
  client_.stop_perpetual();
  client_.stop();
  loop_.join();
}

bool TestClient::connect(int port, const std::string& host, std::chrono::milliseconds timeout) {
  std::string uri = "ws://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                    ":" + std::to_string(port) + "/";
  websocketpp::lib::error_code code;
  Client::connection_ptr connection = client_.get_connection(uri, code);
  if (code) return false;
  if (!origin_.empty()) connection->replace_header("Origin", origin_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
    failed_ = false;
    closeCode_ = 0;
    closeReason_.clear();
  }
  handle_ = connection->get_handle();
  client_.connect(connection);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [this] { return open_ || failed_; });
  return open_;
}

void TestClient::close() {
  if (!isOpen()) return;
  websocketpp::lib::error_code code;
  client_.close(handle_, websocketpp::close::status::normal, "", code);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(5), [this] { return !open_; });
}

bool TestClient::isOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

int TestClient::remoteCloseCode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closeCode_;
}

std::string TestClient::remoteCloseReason() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closeReason_;
}

void TestClient::send(const std::string& payload, websocketpp::frame::opcode::value opcode) {
  websocketpp::lib::error_code code;
  client_.send(handle_, payload, opcode, code);
}

void TestClient::sendText(const std::string& text) { send(text, websocketpp::frame::opcode::text); }

void TestClient::sendBinary(const std::string& bytes) {
  send(bytes, websocketpp::frame::opcode::binary);
}

std::optional<TestFrame> TestClient::receive(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return !frames_.empty(); })) return std::nullopt;
  TestFrame frame = frames_.front();
  frames_.pop_front();
  return frame;
}

Json::Value TestClient::request(const std::string& text, std::chrono::milliseconds timeout) {
  sendText(text);
  std::optional<TestFrame> frame = receive(timeout);
  return frame ? parseJson(frame->payload) : Json::Value();
}

Json::Value TestClient::call(int code, const Json::Value& data, const std::string& clientID,
                             std::chrono::milliseconds timeout) {
  Json::Value envelope(Json::objectValue);
  envelope["methodName"] = code;
  if (!clientID.empty()) envelope["clientID"] = clientID;
  if (!data.isNull()) envelope["data"] = data;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return request(Json::writeString(builder, envelope), timeout);
}
