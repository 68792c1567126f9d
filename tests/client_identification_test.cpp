#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/manager_client.h"
#include "platform/loopback_socket.h"
#include "platform/network.h"
#include "platform/sync.h"
#include "platform/user_process.h"
#include "test_support.h"

namespace zep {

uint32_t FindConnectionOwner(const std::vector<platform::TcpRow>& rows, const platform::Ipv4Endpoint& local,
                             const platform::Ipv4Endpoint& peer);
uint32_t GetConnectionProcessID(uint32_t socket);

namespace {

TEST(FindConnectionOwner, MatchesTheClientsOwnEnd) {
  const platform::Ipv4Endpoint server{0x0100007F, 0x1234};
  const platform::Ipv4Endpoint client{0x0100007F, 0x5678};
  const std::vector<platform::TcpRow> rows = {
      {5, server.address, server.port, client.address, client.port, 100},  // the service's own end
      {5, client.address, 0x9999, server.address, server.port, 300},       // another connection
      {5, client.address, client.port, server.address, server.port, 200},  // the client's end
      {5, client.address, client.port, server.address, server.port, 201},  // a later duplicate
  };
  EXPECT_EQ(200u, FindConnectionOwner(rows, server, client));
  EXPECT_EQ(0u, FindConnectionOwner(rows, server, platform::Ipv4Endpoint{0x0100007F, 0x1111}));
  EXPECT_EQ(0u, FindConnectionOwner({}, server, client));
}

class IdentificationTest : public ::testing::Test {
 protected:
  void SetUp() override { test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\n"); }
};

TEST_F(IdentificationTest, ALoopbackConnectionOfThisProcess) {
  platform::LoopbackListener listener;
  ASSERT_TRUE(listener.Valid());
  platform::TcpSocket client = platform::ConnectLoopback(listener.Port());
  platform::TcpSocket served = listener.Accept();
  ASSERT_TRUE(served.Valid());
  ManagerClient manager;
  const std::string sid = manager.GetConnectionUserSID(served.Value());
#ifdef _WIN32
  // Wine reports no owner in its TCP table: identification fails soft.
  (void)sid;
  EXPECT_EQ(1u, manager.UserInstances().size());
#else
  const uint32_t self = platform::CurrentProcessId();
  EXPECT_EQ(self, GetConnectionProcessID(served.Value()));
  EXPECT_EQ("S-1-22-1-" + std::to_string(getuid()), sid);
  const UserInstance& record = manager.UserInstances().at(sid);
  EXPECT_EQ(self, record.clientProcessId);
  uint32_t session = 0;
  if (!platform::ProcessSessionId(self, &session)) session = 0;
  EXPECT_EQ(session, record.sessionId);
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos,
            log.find("]: GetConnectionProcessID:: connection client " + std::to_string(served.Value()) +
                     " process is " + std::to_string(self) + ".\n"));
  EXPECT_NE(std::string::npos, log.find("]: User=" + sid + ", sock=" + std::to_string(served.Value()) + ", session="));
  // The client's own socket is the other end: looking it up finds the listener's process too.
  EXPECT_EQ(self, GetConnectionProcessID(client.Value()));
#endif
}

TEST_F(IdentificationTest, AClosedPeerIsNotFound) {
  platform::LoopbackListener listener;
  platform::TcpSocket client = platform::ConnectLoopback(listener.Port());
  platform::TcpSocket served = listener.Accept();
  client.Close();
  ManagerClient manager;
  EXPECT_EQ("", manager.GetConnectionUserSID(served.Value()));
  ASSERT_EQ(1u, manager.UserInstances().count(""));
  EXPECT_EQ(0u, manager.UserInstances().at("").clientProcessId);
  EXPECT_EQ(0u, manager.UserInstances().at("").sessionId);
}

TEST_F(IdentificationTest, Ipv6ConnectionsAreNotIdentified) {
  platform::LoopbackListener listener(true);
  if (!listener.Valid()) GTEST_SKIP() << "no IPv6 loopback here";
  platform::TcpSocket client = platform::ConnectLoopback(listener.Port(), true);
  platform::TcpSocket served = listener.Accept();
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
