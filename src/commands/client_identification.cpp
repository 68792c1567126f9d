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
#include "settings/settings_store.h"

namespace zep {

namespace {

// The process at the client's end of the connection, if it may speak for
// it; with the start time of the very process that was checked. 0 when no
// process is found, or the one found only holds a socket that another made.
uint32_t ConnectionProcess(uint32_t socket, uint64_t* startTime) {
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
    const platform::TcpRow* row = platform::ClientEndRow(rows, local, peer);
    if (row != nullptr && row->owningProcessId != 0) {
      if (platform::HolderSpeaksForConnection(*row, startTime)) {
        processId = row->owningProcessId;
      } else {
        LogDebug("GetConnectionProcessID:: process %d holds connection %d but does not speak for it.",
                 static_cast<int>(row->owningProcessId), static_cast<int>(socket));
      }
    }
  }
  LogDebug("GetConnectionProcessID:: connection client %d process is %d.", static_cast<int>(socket),
           static_cast<int>(processId));
  sockets.Cleanup();
  return processId;
}

}  // namespace

uint32_t GetConnectionProcessID(uint32_t socket) {
  uint64_t startTime = 0;
  return ConnectionProcess(socket, &startTime);
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

ClientIdentity IdentifyClient(uint32_t socket, bool askAdministrator) {
  ClientIdentity client;
  uint64_t checkedStart = 0, startAfter = 0;
  client.processId = ConnectionProcess(socket, &checkedStart);
  client.sessionId = GetProcessSessionID(client.processId);
  client.sid = platform::GetProcessUserSID(client.processId);
  if (askAdministrator && client.processId != 0)
    client.administrator =
        platform::ProcessUserAdministers(client.processId, GetConfiguration(kAdministratorsGroupKey, ""));
  // Everything was read of the process that was checked: one that ended,
  // and whose id was taken by another meanwhile, identifies nobody.
  if (client.processId == 0 || !platform::ProcessStartTime(client.processId, &startAfter) ||
      startAfter != checkedStart) {
    client.sid.clear();
    client.administrator = false;
  } else {
    client.startTime = checkedStart;
  }
  LogDebug("User=%s, sock=%d, session=%d, process=%d", LogText(client.sid).c_str(), static_cast<int>(socket),
           static_cast<int>(client.sessionId), static_cast<int>(client.processId));
  return client;
}

std::string ManagerClient::GetConnectionUserSID(uint32_t socket) {
  const ClientIdentity client = IdentifyClient(socket, false);
  std::lock_guard<platform::Mutex> guard(tablesMutex);
  UserInstance& record = userInstances[client.sid];
  record.sessionId = client.sessionId;
  record.clientProcessId = client.processId;
  record.clientStartTime = client.startTime;
  return client.sid;
}

}  // namespace zep
