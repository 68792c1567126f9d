#include "host_server.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "console_page.h"

namespace zephost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Pages of any origin may use the module paths over HTTP, as they can over
// WebSocket; the module's own origin check guards the local-only commands.
void AllowCrossOrigin(const http::request<http::string_body>& request, http::response<http::string_body>& response) {
  const auto origin = request.find(http::field::origin);
  if (origin == request.end()) return;
  response.set(http::field::access_control_allow_origin, origin->value());
  response.set(http::field::vary, "Origin");
  response.set(http::field::access_control_allow_methods, "GET, POST, OPTIONS");
  const auto headers = request.find(http::field::access_control_request_headers);
  response.set(http::field::access_control_allow_headers,
               headers != request.end() ? std::string(headers->value()) : std::string("Content-Type"));
  // Chromium asks before a public page may reach a loopback address.
  const auto privateNetwork = request.find("Access-Control-Request-Private-Network");
  if (privateNetwork != request.end() && privateNetwork->value() == "true")
    response.set("Access-Control-Allow-Private-Network", "true");
}

}  // namespace

bool IsModulePath(const std::string& target) {
  return target.rfind("/zep/", 0) == 0 || target.find("/LoadZipFromBytes") != std::string::npos ||
         target.find("/CheckUpdateFile") != std::string::npos;
}

namespace {

// The largest HTTP body and WebSocket message zephost takes.
constexpr uint64_t kMaxMessageBytes = 16u * 1024u * 1024u;

// Replies the module hands back, by the handle of the connection they belong to.
class ReplyRegistry {
 public:
  static ReplyRegistry& Instance() {
    static ReplyRegistry registry;
    return registry;
  }
  uint32_t Open() {
    std::lock_guard<std::mutex> guard(mutex_);
    uint32_t handle = ++next_;
    if (handle == 0) handle = ++next_;
    replies_[handle];
    return handle;
  }
  std::vector<std::string> Close(uint32_t handle) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> texts = std::move(replies_[handle]);
    replies_.erase(handle);
    return texts;
  }
  bool Deliver(uint32_t handle, const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto entry = replies_.find(handle);
    if (entry == replies_.end()) return false;
    entry->second.push_back(text != nullptr ? text : "");
    return true;
  }

 private:
  std::mutex mutex_;
  uint32_t next_ = 0;
  std::map<uint32_t, std::vector<std::string>> replies_;
};

int32_t SendBack(uint32_t handle, uint64_t /*context*/, const char* text, const void* /*data*/, uint32_t /*length*/,
                 intptr_t /*reserved*/) {
  return ReplyRegistry::Instance().Deliver(handle, text) ? 1 : 0;
}

}  // namespace

struct HostServer::State {
  explicit State(ModuleLibrary& m) : module(m), signals(io, SIGINT, SIGTERM) {}
  ModuleLibrary& module;
  asio::io_context io;
  asio::signal_set signals;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::mutex mutex;
  std::condition_variable idle;
  std::set<tcp::socket::native_handle_type> open;
  int sessions = 0;
  std::atomic<bool> stopping{false};

  std::vector<std::string> Distribute(const std::string& url, const std::string& text, const std::string& body,
                                      const std::string& origin, uint32_t socket) {
    const uint32_t handle = ReplyRegistry::Instance().Open();
    const bool binary = url.find("/LoadZipFromBytes") != std::string::npos;
    module.DistributeCommand(
        handle, 0, 0, url.c_str(), text.c_str(), binary ? reinterpret_cast<const uint8_t*>(body.data()) : nullptr,
        binary ? static_cast<uint32_t>(body.size()) : 0, 1, &SendBack, socket, origin.c_str(), 0, 0, 0);
    return ReplyRegistry::Instance().Close(handle);
  }

  void ServeWebSocket(tcp::socket socket, const http::request<http::string_body>& request) {
    const std::string url(request.target());
    const std::string origin(request[http::field::origin]);
    const uint32_t handle = static_cast<uint32_t>(socket.native_handle());
    websocket::stream<tcp::socket> ws(std::move(socket));
    ws.read_message_max(kMaxMessageBytes);
    beast::error_code ec;
    ws.accept(request, ec);
    if (ec) return;
    for (;;) {
      beast::flat_buffer buffer;
      ws.read(buffer, ec);
      if (ec) return;
      const std::string message = beast::buffers_to_string(buffer.data());
      for (const std::string& reply : Distribute(url, message, std::string(), origin, handle)) {
        ws.text(true);
        ws.write(asio::buffer(reply), ec);
        if (ec) return;
      }
    }
  }

  void Serve(tcp::socket socket) {
    beast::error_code ec;
    beast::flat_buffer buffer;
    for (;;) {
      http::request_parser<http::string_body> parser;
      parser.body_limit(kMaxMessageBytes);
      http::read(socket, buffer, parser, ec);
      if (ec == http::error::body_limit) {
        // Say so, then close: the rest of the body is not read.
        http::response<http::string_body> refused{http::status::payload_too_large, parser.get().version()};
        refused.set(http::field::server, "zephost");
        refused.set(http::field::content_type, "text/plain; charset=utf-8");
        refused.body() = "Request body too large: at most " + std::to_string(kMaxMessageBytes) + " bytes.";
        refused.keep_alive(false);
        refused.prepare_payload();
        http::write(socket, refused, ec);
        return;
      }
      if (ec) return;
      http::request<http::string_body> request = parser.release();
      const std::string target(request.target());
      if (websocket::is_upgrade(request)) {
        ServeWebSocket(std::move(socket), request);
        return;
      }
      http::response<http::string_body> response{http::status::ok, request.version()};
      response.set(http::field::server, "zephost");
      response.keep_alive(request.keep_alive());
      if (IsModulePath(target)) AllowCrossOrigin(request, response);
      if (IsModulePath(target) && request.method() == http::verb::options) {
        // A preflight: the module's own origin check stays the gate of the
        // local-only commands.
        response.result(http::status::no_content);
      } else if (IsModulePath(target)) {
        const std::string origin(request[http::field::origin]);
        const bool binary = target.find("/LoadZipFromBytes") != std::string::npos;
        const std::vector<std::string> replies =
            Distribute(target, binary ? std::string() : request.body(), request.body(), origin,
                       static_cast<uint32_t>(socket.native_handle()));
        std::string text;
        for (const std::string& reply : replies) text += reply;
        const bool json = !text.empty() && (text[0] == '{' || text[0] == '[');
        response.set(http::field::content_type, json ? "application/json; charset=utf-8" : "text/plain; charset=utf-8");
        response.body() = text;
      } else {
        response.set(http::field::content_type, "text/html; charset=utf-8");
        response.body() = ConsolePage();
      }
      response.prepare_payload();
      http::write(socket, response, ec);
      if (ec || !request.keep_alive()) return;
    }
  }

  void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
      if (ec || stopping) return;
      {
        std::lock_guard<std::mutex> guard(mutex);
        ++sessions;
        open.insert(socket.native_handle());
      }
      std::thread([this, s = std::move(socket)]() mutable {
        const auto native = s.native_handle();
        Serve(std::move(s));
        std::lock_guard<std::mutex> guard(mutex);
        open.erase(native);
        if (--sessions == 0) idle.notify_all();
      }).detach();
      Accept(acceptor);
    });
  }
};

HostServer::HostServer(ModuleLibrary& module) : state_(std::make_unique<State>(module)) {}

HostServer::~HostServer() = default;

uint16_t HostServer::Listen(uint16_t port, std::string& error) {
  beast::error_code ec;
  auto acceptor = std::make_unique<tcp::acceptor>(state_->io);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    return 0;
  }
  const uint16_t bound = acceptor->local_endpoint().port();
  state_->Accept(*acceptor);
  state_->acceptors.push_back(std::move(acceptor));
  return bound;
}

void HostServer::Run() {
  state_->signals.async_wait([this](beast::error_code ec, int) {
    if (!ec) Stop();
  });
  state_->io.run();
  // The module's stop action must not overlap a command: wait for every session.
  std::unique_lock<std::mutex> lock(state_->mutex);
  for (auto handle : state_->open) {
#ifdef _WIN32
    ::shutdown(handle, SD_BOTH);
#else
    ::shutdown(handle, SHUT_RDWR);
#endif
  }
  state_->idle.wait(lock, [this] { return state_->sessions == 0; });
}

void HostServer::Stop() {
  state_->stopping = true;
  asio::post(state_->io, [this] {
    for (auto& acceptor : state_->acceptors) acceptor->close();
    beast::error_code ignored;
    state_->signals.cancel(ignored);
    state_->io.stop();
  });
}

}  // namespace zephost
