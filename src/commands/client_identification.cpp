// Who is at the other end of a request's connection: process, session, user.
#include <mutex>
#include <vector>

#include "commands/manager_client.h"
#include "platform/critical_section.h"
#include "platform/network.h"
#include "platform/process_user.h"
#include "platform/system_error.h"
#include "platform/user_process.h"
#include "settings/log.h"

namespace zep {

uint32_t GetConnectionProcessID(uint32_t socket) {
  platform::SocketsSession sockets(2, 2);
  if (!sockets.Started()) {
    LogDebug("GetConnectionProcessID::WSAStartup failed(%d).", sockets.StartCode());
    return 0;
  }
  uint32_t processId = 0;
  platform::Ipv4Endpoint local{}, peer{};
  if (platform::GetSocketEndpoints(socket, local, peer)) {
    // The client's end of the connection is the socket's peer.
    std::vector<platform::TcpRow> rows;
    if (!platform::GetTcpRowsOfConnection(peer, local, rows)) {
      sockets.Cleanup();
      LogDebug("GetConnectionProcessID:: failed to get tcp table.");
      return 0;
    }
    processId = platform::ClientEndOwner(rows, local, peer);
  }
  LogDebug("GetConnectionProcessID:: connection client %d process is %d.", static_cast<int>(socket),
           static_cast<int>(processId));
  sockets.Cleanup();
  return processId;
}

namespace {

uint32_t GetProcessSessionID(uint32_t processId) {
  uint32_t sessionId = 0;
  if (!platform::ProcessSessionId(processId, &sessionId)) sessionId = 0;
  const uint32_t code = platform::LastSystemError();
  LogDebug("GetProcessSessionID:: process:%d session:%d (%d).", static_cast<int>(processId),
           static_cast<int>(sessionId), static_cast<int>(code));
  return sessionId;
}

}  // namespace

std::string ManagerClient::GetConnectionUserSID(uint32_t socket) {
  const uint32_t processId = GetConnectionProcessID(socket);
  // The start time taken before and after the user: a process that ended,
  // and whose id was taken by another, meanwhile is not identified.
  uint64_t startTime = 0, startTimeAfter = 0;
  const bool started = platform::ProcessStartTime(processId, &startTime);
  const uint32_t sessionId = GetProcessSessionID(processId);
  std::string sid = platform::GetProcessUserSID(processId);
  if (!started || !platform::ProcessStartTime(processId, &startTimeAfter) || startTime != startTimeAfter) {
    sid.clear();
    startTime = 0;
  }
  LogDebug("User=%s, sock=%d, session=%d, process=%d", LogText(sid).c_str(), static_cast<int>(socket),
           static_cast<int>(sessionId), static_cast<int>(processId));
  std::lock_guard<platform::Mutex> guard(tablesMutex);
  UserInstance& record = userInstances[sid];
  record.sessionId = sessionId;
  record.clientProcessId = processId;
  record.clientStartTime = startTime;
  return sid;
}

}  // namespace zep
