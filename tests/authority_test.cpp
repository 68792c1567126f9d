// Who may change or stop the service: the user behind the connection as the
// system knows it, never what the page wrote.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#ifndef _WIN32
#include <grp.h>
#include <unistd.h>
#endif

#include "command_host.h"
#include "host_support/loopback_socket.h"
#include "settings/settings_store.h"
#include "test_support.h"

namespace zep {
namespace {

#ifndef _WIN32
constexpr const char* kSetServerInfo = R"({"id":"1","method":"SetServerInfo","parameter":["h",1,2,3,4]})";
std::string Refused(const std::string& method, const std::string& result = "[false]") {
  return test::Styled(R"({"description":"Only an administrator of this machine may do this","exception":-1,"id":"1",)"
                      R"("method":")" +
                      method + R"(","result":)" + result + R"(,"cmdId":""})");
}

class AuthorityTest : public test::CommandTest {
 protected:
  // The connection of a page of the unprivileged account, as the host hands it over.
  uint32_t ForeignConnection() {
    page = std::make_unique<test::PageOfAccount>(listener.Port(), test::kUnprivilegedUid);
    served = listener.Accept();
    return served.Value();
  }
  // The messages of the log lines written since the last look.
  static std::string Messages() {
    std::string messages, log = test::TakeLog();
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
      if (log.find("refused", at) < end) messages += test::MessageOf(log.substr(at, end - at)) + "\n";
    return messages;
  }
  host::LoopbackListener listener;
  std::unique_ptr<test::PageOfAccount> page;
  host::TcpSocket served;
};

// A page of an ordinary user writes a local origin, which any program can:
// it still may not reconfigure, stop or open the service to the network.
TEST_F(AuthorityTest, PrivilegedCommandsAnswerToTheClientsUser) {
  if (geteuid() != 0) GTEST_SKIP() << "pages of two accounts need root";
  const uint32_t socket = ForeignConnection();
  const std::string user = "S-1-22-1-" + std::to_string(test::kUnprivilegedUid);
  test::TakeLog();
  EXPECT_EQ(Refused("SetServerInfo", R"(["h",1,2,3,4,false])"), test::Send(kSetServerInfo, test::kLocalOrigin, socket));
  for (const char* method : {"Reboot", "AddFirewall"})
    EXPECT_EQ(Refused(method),
              test::Send(std::string(R"({"id":"1","method":")") + method + "\"}", test::kLocalOrigin, socket));
  EXPECT_EQ("SetServerInfo:: refused: user " + user + " does not administer this machine.\nReboot:: refused: user " +
                user + " does not administer this machine.\nAddFirewall:: refused: user " + user +
                " does not administer this machine.\n",
            Messages());
  EXPECT_EQ("", GetConfiguration("Server", ""));

  // The members of a group that the settings name administer it; the host's
  // own request (no socket) is served as before.
  const std::string served = test::Send(kSetServerInfo);
  test::SetConfigurationText(std::string("[TK]\r\nLogLevel=14\r\nAdministratorsGroup=") +
                             getgrgid(test::kUnprivilegedUid)->gr_name + "\r\n");
  EXPECT_EQ(served, test::Send(kSetServerInfo, test::kLocalOrigin, socket));

  // A connection whose client has gone speaks for no one.
  page.reset();
  EXPECT_EQ(Refused("Reboot"), test::Send(R"({"id":"1","method":"Reboot"})", test::kLocalOrigin, socket));
  EXPECT_EQ("Reboot:: refused: the client's user is unknown.\n", Messages());
}
#endif

}  // namespace
}  // namespace zep
