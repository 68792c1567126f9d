// What the host's connections share: the module, the network thread, the
// call lanes, and the bounds that keep one user or page from holding up the
// others.
#pragma once

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "call_pool.h"
#include "host_server.h"

namespace zephost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

// The largest HTTP body and WebSocket message zephost takes, and the largest
// request header.
constexpr uint64_t kMaxMessageBytes = 16u * 1024u * 1024u;
constexpr uint32_t kMaxHeaderBytes = 8u * 1024u;

// A bound of the host's resources: the environment may lower it (tests do).
int Setting(const char* name, int fallback);

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
  bool TakeBytes(const std::string& client, int64_t bytes);
  void GiveBytes(const std::string& client, int64_t bytes);
  // Whether the Host header names this server: a page of another name that
  // resolves to 127.0.0.1 (DNS rebinding) does not.
  bool HostIsOurs(beast::string_view host) const;
  // Hands one request to the module: an upload's payload as its binary body,
  // any other payload as its text. The replies the module sent back.
  std::vector<std::string> Distribute(const std::string& url, const std::string& payload, const std::string& origin,
                                      uint32_t socket);
  // Runs a module call for the client: port checks in their lane, the rest in the pool.
  void Post(const std::string& user, const std::string& origin, const std::string& payload, std::function<void()> call);
  // Asks for the user of a new connection off the network thread; the
  // connections that arrive while a lookup runs are looked up together.
  void LookUpUser(uint32_t socket, std::function<void(const std::string&)> done);
  void LookUpWaiting();
  std::mutex lookupMutex;
  std::vector<std::pair<uint32_t, std::function<void(const std::string&)>>> lookups;
  bool lookingUp = false;

  void Accept(tcp::acceptor& acceptor);
};

}  // namespace zephost
