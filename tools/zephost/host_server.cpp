#include "host_server.h"

#include <algorithm>

#include "host_state.h"
#include "http_session.h"

namespace zephost {

bool IsModulePath(const std::string& target) {
  return target.rfind("/zep/", 0) == 0 || target.find("/LoadZipFromBytes") != std::string::npos ||
         target.find("/CheckUpdateFile") != std::string::npos;
}

namespace {

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
        StartHttpSession(*this, std::move(socket));
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
