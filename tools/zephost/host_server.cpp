#include "host_server.h"

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "call_pool.h"
#include "console_page.h"
#include "host_support/host_platform.h"

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

// The largest HTTP body and WebSocket message zephost takes, and the largest
// request header.
constexpr uint64_t kMaxMessageBytes = 16u * 1024u * 1024u;
constexpr uint32_t kMaxHeaderBytes = 8u * 1024u;

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

// Bounds of the host's resources; the environment may lower them (tests do).
int Setting(const char* name, int fallback) {
  const char* text = std::getenv(name);
  const int value = text != nullptr ? std::atoi(text) : 0;
  return value > 0 ? value : fallback;
}

struct HostServer::State {
  explicit State(ModuleLibrary& m)
      : module(m),
        signals(io, SIGINT, SIGTERM),
        calls(Setting("ZEPHOST_MODULE_THREADS", 96), std::chrono::seconds(10)),
        checks(Setting("ZEPHOST_CHECK_THREADS", 64), std::chrono::seconds(10)),
        idleTimeout(std::chrono::seconds(Setting("ZEPHOST_IDLE_SECONDS", 30))),
        headerTimeout(std::chrono::seconds(Setting("ZEPHOST_HEADER_SECONDS", 5))),
        maxConnections(Setting("ZEPHOST_MAX_CONNECTIONS", 256)),
        fairShare(Setting("ZEPHOST_FAIR_SHARE", maxConnections / 4 > 0 ? maxConnections / 4 : 1)),
        originShare(fairShare / 4 > 0 ? fairShare / 4 : 1),
        bodyBudget(static_cast<int64_t>(Setting("ZEPHOST_BODY_BUDGET_MB", 64)) * 1024 * 1024),
        clientBudget(bodyBudget / 4),
        messageLimit(std::min<uint64_t>(kMaxMessageBytes, static_cast<uint64_t>(clientBudget))),
        acceptRetry(io) {}
  ModuleLibrary& module;
  // What the sessions keep count in: declared before the io_context, whose
  // end ends the sessions it still holds.
  std::atomic<int> connections{0};
  std::atomic<bool> stopping{false};
  // Body bytes held, in all and by user (the key of its fair share);
  // guarded by shareMutex, as the shares are.
  int64_t bodyBytes = 0;
  std::map<std::string, int64_t> bodyBytesByClient;
  // Open connections, closed when the host stops (touched on the network thread only).
  std::set<std::shared_ptr<beast::tcp_stream>> open;
  // Connections by user, and by page origin of a user.
  std::map<std::string, int> shares;
  std::mutex shareMutex;  // slots and held bytes end on any thread
  asio::io_context io;    // all network work, on the one thread of Run
  asio::signal_set signals;
  CallPool calls;   // module calls, which may block (a process start)
  CallPool checks;  // port checks, whose connects may wait seconds: a lane of their own
  const std::chrono::seconds idleTimeout;
  // How long a new connection has to send a whole request header.
  const std::chrono::seconds headerTimeout;
  const int maxConnections;
  // The most connections one user may hold, from the moment they are
  // accepted: the others keep the rest. One page origin of a user holds at
  // most a quarter of the user's part.
  const int fairShare;
  const int originShare;
  // Bytes of request bodies and WebSocket messages held at once; one client
  // may hold a quarter of them, so that it cannot hold up the others.
  const int64_t bodyBudget;
  const int64_t clientBudget;
  // One body or message: no more than a client's part, which it must fit in.
  const uint64_t messageLimit;
  asio::steady_timer acceptRetry;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::vector<uint16_t> ports;
  std::string pageInfo = "{}";

  // Takes bytes of the budget for the client; false (nothing taken) when
  // they do not fit in the whole or in the client's part.
  bool TakeBytes(const std::string& client, int64_t bytes) {
    std::lock_guard<std::mutex> guard(shareMutex);
    int64_t& byClient = bodyBytesByClient[client];
    if (bodyBytes + bytes > bodyBudget || byClient + bytes > clientBudget) {
      if (byClient == 0) bodyBytesByClient.erase(client);
      return false;
    }
    bodyBytes += bytes;
    byClient += bytes;
    return true;
  }
  void GiveBytes(const std::string& client, int64_t bytes) {
    std::lock_guard<std::mutex> guard(shareMutex);
    bodyBytes -= bytes;
    auto entry = bodyBytesByClient.find(client);
    if (entry != bodyBytesByClient.end() && (entry->second -= bytes) <= 0) bodyBytesByClient.erase(entry);
  }

  // Whether the Host header names this server: a page of another name that
  // resolves to 127.0.0.1 (DNS rebinding) does not.
  bool HostIsOurs(beast::string_view host) const {
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
      if (host == name) return true;
      for (uint16_t port : ports)
        if (host == std::string(name) + ":" + std::to_string(port)) return true;
    }
    return false;
  }

  // Hands one request to the module: an upload's payload as its binary body,
  // any other payload as its text. The replies the module sent back.
  std::vector<std::string> Distribute(const std::string& url, const std::string& payload, const std::string& origin,
                                      uint32_t socket) {
    const uint32_t handle = ReplyRegistry::Instance().Open();
    const bool binary = url.find("/LoadZipFromBytes") != std::string::npos;
    module.DistributeCommand(handle, 0, 0, url.c_str(), binary ? "" : payload.c_str(),
                             binary ? reinterpret_cast<const uint8_t*>(payload.data()) : nullptr,
                             binary ? static_cast<uint32_t>(payload.size()) : 0, 1, &SendBack, socket, origin.c_str(),
                             0, 0, 0);
    return ReplyRegistry::Instance().Close(handle);
  }

  // Runs a module call for the client: port checks in their lane, the rest in the pool.
  void Post(const std::string& user, const std::string& origin, const std::string& payload,
            std::function<void()> call) {
    CallPool& lane = payload.find("\"CheckQROPort\"") != std::string::npos ? checks : calls;
    lane.Post(user, origin, std::move(call));
  }

  // Asks for the user of a new connection off the network thread; the
  // connections that arrive while a lookup runs are looked up together.
  void LookUpUser(uint32_t socket, std::function<void(const std::string&)> done) {
    std::lock_guard<std::mutex> guard(lookupMutex);
    lookups.emplace_back(socket, std::move(done));
    if (lookingUp) return;
    lookingUp = true;
    calls.Post("", "", [this] { LookUpWaiting(); });
  }
  void LookUpWaiting() {
    for (;;) {
      std::vector<std::pair<uint32_t, std::function<void(const std::string&)>>> batch;
      {
        std::lock_guard<std::mutex> guard(lookupMutex);
        if (lookups.empty()) {
          lookingUp = false;
          return;
        }
        batch.swap(lookups);
      }
      std::vector<uint32_t> sockets;
      for (const auto& lookup : batch) sockets.push_back(lookup.first);
      const std::vector<std::string> users = zep::host::ClientUsersOf(sockets);
      for (size_t i = 0; i < batch.size(); ++i) batch[i].second(users[i]);
    }
  }
  std::mutex lookupMutex;
  std::vector<std::pair<uint32_t, std::function<void(const std::string&)>>> lookups;
  bool lookingUp = false;

  void Accept(tcp::acceptor& acceptor);
};

namespace {

// Counts itself among the host's connections while it lives.
class ConnectionSlot {
 public:
  explicit ConnectionSlot(HostServer::State& state) : state_(state) { ++state_.connections; }
  ~ConnectionSlot() { --state_.connections; }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  HostServer::State& state_;
};

// A connection's place in a fair share: its user's, or its page origin's.
class ShareSlot {
 public:
  // Null when the share is full.
  static std::unique_ptr<ShareSlot> Take(HostServer::State& state, const std::string& key, int limit) {
    std::lock_guard<std::mutex> guard(state.shareMutex);
    int& held = state.shares[key];
    if (held >= limit) {
      if (held == 0) state.shares.erase(key);
      return nullptr;
    }
    ++held;
    return std::unique_ptr<ShareSlot>(new ShareSlot(state, key));
  }
  ~ShareSlot() {
    std::lock_guard<std::mutex> guard(state_.shareMutex);
    auto entry = state_.shares.find(key_);
    if (entry != state_.shares.end() && --entry->second <= 0) state_.shares.erase(entry);
  }
  ShareSlot(const ShareSlot&) = delete;
  ShareSlot& operator=(const ShareSlot&) = delete;
  const std::string& Key() const { return key_; }

 private:
  ShareSlot(HostServer::State& state, std::string key) : state_(state), key_(std::move(key)) {}
  HostServer::State& state_;
  std::string key_;
};

// Bytes of the body budget held by one request or message of a client.
class HeldBytes {
 public:
  HeldBytes(HostServer::State& state, std::string client) : state_(state), client_(std::move(client)) {}
  ~HeldBytes() { Release(); }
  HeldBytes(const HeldBytes&) = delete;
  HeldBytes& operator=(const HeldBytes&) = delete;
  bool Take(int64_t bytes) {
    if (bytes <= 0) return true;
    if (!state_.TakeBytes(client_, bytes)) return false;
    held_ += bytes;
    return true;
  }
  void Release() {
    if (held_ != 0) state_.GiveBytes(client_, held_);
    held_ = 0;
  }

 private:
  HostServer::State& state_;
  const std::string client_;
  int64_t held_ = 0;
};

// Past its part of the budget, a WebSocket message is refused with "try
// again later"; a message is read in parts, so none is held whole first.
constexpr std::size_t kMessagePart = 64 * 1024;

// One WebSocket: a message at a time, its replies in order.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(HostServer::State& state, std::shared_ptr<beast::tcp_stream> stream,
                   std::unique_ptr<ConnectionSlot> slot, std::string user, std::unique_ptr<ShareSlot> userShare,
                   std::unique_ptr<ShareSlot> originShare)
      : state_(state),
        stream_(std::move(stream)),
        ws_(std::move(*stream_)),
        slot_(std::move(slot)),
        user_(std::move(user)),
        userShare_(std::move(userShare)),
        originShare_(std::move(originShare)),
        held_(std::make_shared<HeldBytes>(state, userShare_->Key())) {}

  void Run(http::request<http::string_body> request) {
    url_ = std::string(request.target());
    origin_ = std::string(request[http::field::origin]);
    socket_ = static_cast<uint32_t>(beast::get_lowest_layer(ws_).socket().native_handle());
    ws_.read_message_max(state_.messageLimit);
    // An idle WebSocket is pinged; one whose page has gone is closed.
    auto timeout = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (!ec) self->Read();
    });
  }

 private:
  void Read() {
    // A large message's buffer is not kept for the next one.
    buffer_.consume(buffer_.size());
    buffer_.shrink_to_fit();
    held_->Release();
    ReadPart();
  }

  void ReadPart() {
    ws_.async_read_some(buffer_, kMessagePart, [self = shared_from_this()](beast::error_code ec, std::size_t read) {
      if (ec || self->state_.stopping) return;
      if (!self->held_->Take(static_cast<int64_t>(read))) {
        self->ws_.async_close(websocket::close_reason(websocket::close_code::try_again_later),
                              [self](beast::error_code) {});
        return;
      }
      if (!self->ws_.is_message_done()) return self->ReadPart();
      auto message = std::make_shared<std::string>(beast::buffers_to_string(self->buffer_.data()));
      self->buffer_.consume(self->buffer_.size());
      self->buffer_.shrink_to_fit();
      self->state_.Post(self->user_, self->origin_, *message, [self, message] {
        auto replies = std::make_shared<std::vector<std::string>>(
            self->state_.Distribute(self->url_, *message, self->origin_, self->socket_));
        message->clear();
        message->shrink_to_fit();
        // The message is handled: its bytes are the budget's again before
        // the page can send the next (nothing else touches them meanwhile).
        self->held_->Release();
        asio::post(self->ws_.get_executor(), [self, replies] { self->Write(replies, 0); });
      });
    });
  }

  void Write(std::shared_ptr<std::vector<std::string>> replies, std::size_t next) {
    if (next == replies->size()) return Read();
    ws_.text(true);
    ws_.async_write(asio::buffer((*replies)[next]),
                    [self = shared_from_this(), replies, next](beast::error_code ec, std::size_t) {
                      if (!ec) self->Write(replies, next + 1);
                    });
  }

  HostServer::State& state_;
  std::shared_ptr<beast::tcp_stream> stream_;
  websocket::stream<beast::tcp_stream> ws_;
  std::unique_ptr<ConnectionSlot> slot_;
  // An idle WebSocket still counts in its user's share.
  const std::string user_;
  std::unique_ptr<ShareSlot> userShare_, originShare_;
  std::shared_ptr<HeldBytes> held_;
  beast::flat_buffer buffer_;
  std::string url_, origin_;
  uint32_t socket_ = 0;
};

// One HTTP connection: requests one after the other, each with a time-out
// while the host waits for it.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(HostServer::State& state, tcp::socket socket)
      : state_(state),
        stream_(std::make_shared<beast::tcp_stream>(std::move(socket))),
        slot_(std::make_unique<ConnectionSlot>(state)) {}

  // The connection counts in its user's share from the start: its user is
  // asked of the system, never taken from what it sends. A whole request
  // header must come within the header time-out.
  void Start() {
    state_.open.insert(stream_);
    stream_->expires_after(std::min(state_.headerTimeout, state_.idleTimeout));
    const uint32_t socket = static_cast<uint32_t>(stream_->socket().native_handle());
#ifdef _WIN32
    // Windows names a connection's process in its TCP table, which can take
    // long to read (a tenth of a second and more under Wine): it is read off
    // the network thread, once for all the connections waiting meanwhile.
    state_.LookUpUser(socket, [self = shared_from_this()](const std::string& user) {
      asio::post(self->stream_->get_executor(), [self, user] { self->TakeUserShare(user); });
    });
#else
    TakeUserShare(zep::host::ClientUsersOf({socket})[0]);  // one query of the kernel
#endif
  }

 private:
  using Response = http::response<http::string_body>;

  // A refusal the connection ends with.
  void Refuse(http::status status, const std::string& text) {
    auto refused = std::make_shared<Response>(status, 11);
    refused->set(http::field::content_type, "text/plain; charset=utf-8");
    refused->body() = text;
    refused->keep_alive(false);
    Write(refused);
  }

  // Said, then closed: the rest of the body is not read.
  void RefuseLargeBody() {
    Refuse(http::status::payload_too_large,
           "Request body too large: at most " + std::to_string(state_.messageLimit) + " bytes.");
  }

  void TakeUserShare(const std::string& user) {
    if (state_.stopping) return Close();
    user_ = user;
    userShare_ = ShareSlot::Take(state_, "user " + user_, state_.fairShare);
    if (userShare_ == nullptr) return Refuse(http::status::service_unavailable, "Too many connections from this user.");
    Read();
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(state_.messageLimit);
    // The first header keeps the time-out set at the start.
    if (originShare_ != nullptr) stream_->expires_after(state_.idleTimeout);
    http::async_read_header(*stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  // The client is known before the body is read, so that its bytes count
  // in its own part of the budget.
  void OnHeader(beast::error_code ec) {
    if (ec == http::error::header_limit)
      return Refuse(http::status::request_header_fields_too_large,
                    "Request header too large: at most " + std::to_string(kMaxHeaderBytes) + " bytes.");
    if (ec == http::error::body_limit) return RefuseLargeBody();
    if (ec || state_.stopping) return Close();
    if (originShare_ != nullptr) return ReadBody();
    // Within its user's share, a connection counts under its first request's
    // page origin (a program that sends none counts as one origin).
    const std::string origin(parser_->get()[http::field::origin]);
    originShare_ = ShareSlot::Take(state_, "user " + user_ + "\norigin " + origin, state_.originShare);
    if (originShare_ == nullptr)
      return Refuse(http::status::service_unavailable, "Too many connections from this client.");
    ReadBody();
  }

  // The body's bytes are taken from the budget before it is read.
  void ReadBody() {
    const auto length = parser_->content_length();
    const int64_t limit = static_cast<int64_t>(state_.messageLimit);
    const int64_t bytes = length ? static_cast<int64_t>(*length) : parser_->chunked() ? limit : 0;
    held_ = std::make_shared<HeldBytes>(state_, userShare_->Key());
    if (bytes <= limit && !held_->Take(bytes))
      return Refuse(http::status::service_unavailable, "The host holds too many request bodies: try again later.");
    http::async_read(*stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::body_limit) return RefuseLargeBody();
    if (ec || state_.stopping) return Close();
    http::request<http::string_body> request = parser_->release();
    if (!state_.HostIsOurs(request[http::field::host]))
      return Refuse(http::status::misdirected_request, "This host answers to 127.0.0.1, localhost and [::1] only.");
    Serve(std::move(request));
  }

  void Serve(http::request<http::string_body> request) {
    const std::string target(request.target());
    if (websocket::is_upgrade(request)) {
      stream_->expires_never();
      state_.open.erase(stream_);
      held_.reset();
      std::make_shared<WebSocketSession>(state_, stream_, std::move(slot_), user_, std::move(userShare_),
                                         std::move(originShare_))
          ->Run(std::move(request));
      return;
    }
    auto response = std::make_shared<Response>(http::status::ok, request.version());
    response->keep_alive(request.keep_alive());
    const bool forModule = IsModulePath(target);
    const beast::string_view host = request[http::field::host];
    if (!forModule && (host == "localhost" || host.starts_with("localhost:"))) {
      // The module serves its local-only commands to the page of 127.0.0.1
      // alone, so the console opened as localhost is sent there. The module
      // paths stay: a browser follows no redirect of a preflight.
      response->result(http::status::permanent_redirect);
      response->set(http::field::location, "http://127.0.0.1" + std::string(host.substr(9)) + target);
      return Write(response);
    }
    if (forModule) AllowCrossOrigin(request, *response);
    if (forModule && request.method() == http::verb::options) {
      // A preflight: the module's own origin check stays the gate of the
      // local-only commands.
      response->result(http::status::no_content);
      return Write(response);
    }
    if (!forModule) {
      // The console is never shown inside another site's page, where its
      // buttons would pass for the local origin's.
      response->set(http::field::x_frame_options, "DENY");
      response->set("Content-Security-Policy", "frame-ancestors 'none'");
    }
    if (target == "/zephost/info") {
      response->set(http::field::content_type, "application/json; charset=utf-8");
      response->body() = state_.pageInfo;
      return Write(response);
    }
    if (!forModule) {
      const std::string path = target.substr(0, target.find('?'));
      if (path != "/") {
        response->result(http::status::not_found);
        response->set(http::field::content_type, "text/plain; charset=utf-8");
        response->body() = "Not found.";
        return Write(response);
      }
      response->set(http::field::content_type, "text/html; charset=utf-8");
      response->body() = ConsolePage();
      return Write(response);
    }
    // The module call runs in the pool; the network thread goes on meanwhile.
    stream_->expires_never();
    const uint32_t socket = static_cast<uint32_t>(stream_->socket().native_handle());
    auto shared = std::make_shared<http::request<http::string_body>>(std::move(request));
    auto held = std::move(held_);
    const std::string origin(shared->operator[](http::field::origin));
    state_.Post(user_, origin, shared->body(), [self = shared_from_this(), shared, held, response, target, socket] {
      const std::string origin((*shared)[http::field::origin]);
      std::string text;
      for (const std::string& reply : self->state_.Distribute(target, shared->body(), origin, socket)) text += reply;
      shared->body().clear();
      shared->body().shrink_to_fit();
      held->Release();
      const bool json = !text.empty() && (text[0] == '{' || text[0] == '[');
      response->set(http::field::content_type, json ? "application/json; charset=utf-8" : "text/plain; charset=utf-8");
      response->body() = std::move(text);
      asio::post(self->stream_->get_executor(), [self, response] { self->Write(response); });
    });
  }

  void Write(std::shared_ptr<Response> response) {
    held_.reset();
    response->set(http::field::server, "zephost");
    response->prepare_payload();
    stream_->expires_after(state_.idleTimeout);
    http::async_write(*stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      if (ec || !response->keep_alive() || self->state_.stopping) return self->Close();
      self->Read();
    });
  }

  void Close() {
    held_.reset();
    beast::error_code ignored;
    stream_->socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_->close();
    state_.open.erase(stream_);
  }

  HostServer::State& state_;
  std::shared_ptr<beast::tcp_stream> stream_;
  std::unique_ptr<ConnectionSlot> slot_;
  std::string user_;
  std::unique_ptr<ShareSlot> userShare_, originShare_;
  std::shared_ptr<HeldBytes> held_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

const char kTooManyConnections[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 21\r\n"
    "Connection: close\r\n\r\nToo many connections.";

}  // namespace

void HostServer::State::Accept(tcp::acceptor& acceptor) {
  acceptor.async_accept([this, &acceptor](beast::error_code ec, tcp::socket socket) {
    if (stopping) return;
    if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space || ec == asio::error::no_memory) {
      // Out of descriptors: the connections held go on; new ones wait in the
      // listen queue until one is free, asked for again every 50 ms rather
      // than in a busy loop.
      acceptRetry.expires_after(std::chrono::milliseconds(50));
      acceptRetry.async_wait([this, &acceptor](beast::error_code waited) {
        if (!waited && !stopping) Accept(acceptor);
      });
      return;
    }
    if (!ec) {
      if (connections >= maxConnections) {
        // Refused clearly, not left waiting.
        auto refused = std::make_shared<tcp::socket>(std::move(socket));
        asio::async_write(*refused, asio::buffer(kTooManyConnections, sizeof kTooManyConnections - 1),
                          [refused](beast::error_code, std::size_t) {
                            beast::error_code ignored;
                            refused->shutdown(tcp::socket::shutdown_send, ignored);
                          });
      } else {
        std::make_shared<HttpSession>(*this, std::move(socket))->Start();
      }
    }
    Accept(acceptor);
  });
}

HostServer::HostServer(ModuleLibrary& module) : state_(std::make_unique<State>(module)) {}

HostServer::~HostServer() = default;

namespace {

// Whether a failed bind or listen means that another socket holds the port.
bool PortHeldElsewhere(const beast::error_code& ec) {
#ifdef _WIN32
  // Windows refuses a port held exclusively as access denied.
  if (ec == asio::error::access_denied) return true;
#endif
  return ec == asio::error::address_in_use;
}

}  // namespace

uint16_t HostServer::Listen(uint16_t port, std::string& error, bool* portInUse) {
  beast::error_code ec;
  auto acceptor = std::make_unique<tcp::acceptor>(state_->io);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  acceptor->open(endpoint.protocol(), ec);
#ifdef _WIN32
  // On Windows a socket with SO_REUSEADDR may bind a port that another one
  // listens on and take its connections: zephost holds its port exclusively.
  using ExclusiveAddressUse = asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
  if (!ec) acceptor->set_option(ExclusiveAddressUse(true), ec);
#else
  // On POSIX it only lets a restarted zephost listen again past connections
  // in TIME_WAIT; no other listener can share the port.
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
#endif
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    if (portInUse != nullptr) *portInUse = PortHeldElsewhere(ec);
    return 0;
  }
  const uint16_t bound = acceptor->local_endpoint().port();
  state_->ports.push_back(bound);
  state_->Accept(*acceptor);
  state_->acceptors.push_back(std::move(acceptor));
  return bound;
}

void HostServer::SetPageInfo(const std::string& json) { state_->pageInfo = json; }

bool HostServer::Run() {
  state_->signals.async_wait([this](beast::error_code ec, int) {
    if (!ec) Stop();
  });
  state_->io.run();
  // The module's stop action must not overlap a command: the calls get 5 s
  // to end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  const bool calls = state_->calls.Drain(std::chrono::seconds(5));
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return state_->checks.Drain(std::max(left, std::chrono::milliseconds(0))) && calls;
}

void HostServer::Stop() {
  asio::post(state_->io, [this] {
    state_->stopping = true;
    for (auto& acceptor : state_->acceptors) acceptor->close();
    state_->acceptRetry.cancel();
    beast::error_code ignored;
    state_->signals.cancel(ignored);
    for (const auto& stream : state_->open) stream->close();
    state_->open.clear();
    state_->io.stop();
  });
}

}  // namespace zephost
