#include "http_session.h"

#include <optional>

#include "client_shares.h"
#include "console_page.h"
#include "host_support/host_platform.h"
#include "websocket_session.h"

namespace zephost {

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
      StartWebSocketSession(state_, stream_, std::move(slot_), user_, std::move(userShare_), std::move(originShare_),
                            std::move(request));
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
      // A reply may be far larger than its command: it is held in the same
      // budget as bodies until it has been sent.
      if (!held->Take(static_cast<int64_t>(text.size()))) {
        text = kReplyOverBudget;
        response->result(http::status::service_unavailable);
        response->keep_alive(false);
      }
      const bool json = !text.empty() && (text[0] == '{' || text[0] == '[');
      response->set(http::field::content_type, json ? "application/json; charset=utf-8" : "text/plain; charset=utf-8");
      response->body() = std::move(text);
      asio::post(self->stream_->get_executor(), [self, response, held] { self->Write(response, held); });
    });
  }

  // heldReply: the reply's bytes in the budget, given back once it is sent.
  void Write(std::shared_ptr<Response> response, std::shared_ptr<HeldBytes> heldReply = nullptr) {
    held_.reset();
    response->set(http::field::server, "zephost");
    response->prepare_payload();
    stream_->expires_after(state_.idleTimeout);
    http::async_write(*stream_, *response,
                      [self = shared_from_this(), response, heldReply](beast::error_code ec, std::size_t) {
                        if (heldReply) heldReply->Release();
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

}  // namespace

void StartHttpSession(HostServer::State& state, tcp::socket socket) {
  std::make_shared<HttpSession>(state, std::move(socket))->Start();
}

}  // namespace zephost
