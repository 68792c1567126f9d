#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "command_host.h"
#include "commands/manager_client.h"
#include "host_support/loopback_socket.h"
#include "platform/network.h"
#include "platform/thread_identity.h"
#include "platform/user_process.h"
#include "platform/process_user.h"
#include "test_support.h"

namespace zep {

uint32_t GetConnectionProcessID(uint32_t socket);

namespace {

TEST(ClientEndOwner, MatchesTheClientsOwnEnd) {
  const platform::Ipv4Endpoint server{0x0100007F, 0x1234};
  const platform::Ipv4Endpoint client{0x0100007F, 0x5678};
  const std::vector<platform::TcpRow> rows = {
      {5, server.address, server.port, client.address, client.port, 100},  // the service's own end
      {5, client.address, 0x9999, server.address, server.port, 300},       // another connection
      {5, client.address, client.port, server.address, server.port, 200},  // the client's end
      {5, client.address, client.port, server.address, server.port, 201},  // a later duplicate
  };
  EXPECT_EQ(200u, platform::ClientEndOwner(rows, server, client));
  EXPECT_EQ(0u, platform::ClientEndOwner(rows, server, platform::Ipv4Endpoint{0x0100007F, 0x1111}));
  EXPECT_EQ(0u, platform::ClientEndOwner({}, server, client));
}

class IdentificationTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n"); }
};

// Wine names a connection's owner in its TCP table only once the owner has
// used its socket (sent, received, asked for its peer): the page's end sends
// one byte first, and the lookup is repeated for a bounded time.
uint32_t IdentifiedOwner(uint32_t socket) {
  uint32_t owner = 0;
  for (int attempt = 0; attempt < 100 && owner == 0; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    owner = GetConnectionProcessID(socket);
  }
  return owner;
}

TEST_F(IdentificationTest, ALoopbackConnectionOfThisProcess) {
  host::LoopbackListener listener;
  ASSERT_TRUE(listener.Valid());
  host::TcpSocket client = host::ConnectLoopback(listener.Port());
  host::TcpSocket served = listener.Accept();
  ASSERT_TRUE(served.Valid());
  ASSERT_TRUE(client.Send("x", 1));
  const uint32_t self = platform::CurrentProcessId();
  ASSERT_EQ(self, IdentifiedOwner(served.Value()));
  test::TakeLog();

  ManagerClient manager;
  const std::string sid = manager.GetConnectionUserSID(served.Value());
  EXPECT_EQ(platform::GetProcessUserSID(self), sid);  // the SID of this process's own token
  EXPECT_FALSE(sid.empty());
#ifndef _WIN32
  EXPECT_EQ("S-1-22-1-" + std::to_string(getuid()), sid);
#endif
  const UserInstance& record = manager.UserInstances().at(sid);
  EXPECT_EQ(self, record.clientProcessId);
  uint32_t session = 0;
  if (!platform::ProcessSessionId(self, &session)) session = 0;
  EXPECT_EQ(session, record.sessionId);
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("]: GetConnectionProcessID:: connection client " + std::to_string(served.Value()) +
                     " process is " + std::to_string(self) + ".\n"));
  EXPECT_NE(std::string::npos, log.find("]: GetProcessSessionID:: process:" + std::to_string(self) +
                                        " session:" + std::to_string(session) + " ("));
  EXPECT_NE(std::string::npos, log.find("]: User=" + sid + ", sock=" + std::to_string(served.Value()) + ", session=" +
                                        std::to_string(session) + ", process=" + std::to_string(self) + "\n"));
  // The user key of VersionInfo is that SID's.
  const std::string reply = test::Send("{\"id\":\"v\",\"method\":\"VersionInfo\"}", test::kLocalOrigin, served.Value());
  EXPECT_NE(std::string::npos, reply.find("\"" + UserKeyOf(sid) + "\"")) << reply;
}

#ifdef _WIN32
// A client that never used its socket stays unknown under Wine: the
// identification fails soft.
TEST_F(IdentificationTest, AClientThatNeverSentStaysUnknown) {
  host::LoopbackListener listener;
  host::TcpSocket client = host::ConnectLoopback(listener.Port());
  host::TcpSocket served = listener.Accept();
  ASSERT_TRUE(served.Valid());
  ManagerClient manager;
  EXPECT_EQ("", manager.GetConnectionUserSID(served.Value()));
  EXPECT_EQ(0u, manager.UserInstances().at("").clientProcessId);
}
#endif

TEST_F(IdentificationTest, AClosedPeerIsNotFound) {
  host::LoopbackListener listener;
  host::TcpSocket client = host::ConnectLoopback(listener.Port());
  host::TcpSocket served = listener.Accept();
  client.Close();
  ManagerClient manager;
  EXPECT_EQ("", manager.GetConnectionUserSID(served.Value()));
  ASSERT_EQ(1u, manager.UserInstances().count(""));
  EXPECT_EQ(0u, manager.UserInstances().at("").clientProcessId);
  EXPECT_EQ(0u, manager.UserInstances().at("").sessionId);
}

TEST_F(IdentificationTest, Ipv6ConnectionsAreNotIdentified) {
  host::LoopbackListener listener(true);
  if (!listener.Valid()) GTEST_SKIP() << "no IPv6 loopback here";
  host::TcpSocket client = host::ConnectLoopback(listener.Port(), true);
  host::TcpSocket served = listener.Accept();
  ASSERT_TRUE(served.Valid());
  EXPECT_EQ(0u, GetConnectionProcessID(served.Value()));
}

TEST_F(IdentificationTest, NotASocket) {
  EXPECT_EQ(0u, GetConnectionProcessID(0));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find("]: GetConnectionProcessID:: connection client 0 process is 0.\n"));
}

}  // namespace
}  // namespace zep
