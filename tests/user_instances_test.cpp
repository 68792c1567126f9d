#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_host.h"
#include "commands/manager_client.h"
#include "host_support/loopback_socket.h"
#include "module/virtual_manager_client.h"
#include "platform/process_user.h"
#include "platform/profile.h"
#include "settings/port_registry.h"
#include "settings/settings_store.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#endif

namespace zep {

uint32_t GetConnectionProcessID(uint32_t socket);

namespace {

using namespace std::chrono_literals;

std::string Folder() { return test::ModuleDirectory(); }

// The stand-in service beside this program, in this platform's path form.
std::string FakeService() {
#ifdef _WIN32
  return Folder() + "fake_service.exe";
#else
  return Folder() + "fake_service";
#endif
}

void Mode(const std::string& mode) {
  test::WriteFileText(Folder() + "fake_service.mode", mode + "\n");
  for (const char* name : {"release", "stopped", "args", "ports", "child"})
    test::RemoveFile(Folder() + "fake_service." + name);
}

// The pid of the child the copy started in "spawn" mode; 0 before it has.
[[maybe_unused]] uint32_t CopysChild() {
  std::istringstream stream(test::ReadFileText(Folder() + "fake_service.child"));
  uint32_t pid = 0;
  stream >> pid;
  return pid;
}

// The ports the stand-in copy listens on: qro, qro_ssl, zep, zep_ssl.
[[maybe_unused]] std::vector<int> CopyPorts() {
  std::vector<int> ports;
  std::istringstream stream(test::ReadFileText(Folder() + "fake_service.ports"));
  for (int port; stream >> port;) ports.push_back(port);
  return ports;
}

[[maybe_unused]] bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

[[maybe_unused]] std::vector<std::string> Arguments() {
  std::vector<std::string> lines;
  std::istringstream stream(test::ReadFileText(Folder() + "fake_service.args"));
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // CR LF on Windows
    lines.push_back(line);
  }
  return lines;
}

[[maybe_unused]] std::string PortsReply(const std::string& key, int qro, int qroSsl, int zep, int zepSsl) {
  return "{\n   \"event\" : \"GetPorts\",\n   \"id\" : \"p\",\n   \"result\" : [\n      \"" + key +
         "\",\n      {\n         \"qro\" : {\n            \"port\" : " + std::to_string(qro) +
         ",\n            \"sslPort\" : " + std::to_string(qroSsl) +
         "\n         },\n         \"zep\" : {\n            "
         "\"port\" : " +
         std::to_string(zep) + ",\n            \"sslPort\" : " + std::to_string(zepSsl) +
         "\n         }\n      }\n   ],\n\t\"cmdId\" : \"\"\n}\n";
}

// A page's connection to the host: the module identifies the user through it.
// The page's end sends first, and the connection is ready once the TCP table
// names this process as its owner (Wine names an owner only after that).
class PageConnection {
 public:
  PageConnection() : client_(host::ConnectLoopback(listener_.Port())), served_(listener_.Accept()) {
    client_.Send("x", 1);
    const uint32_t self = platform::CurrentProcessId();
    for (int attempt = 0; attempt < 100 && GetConnectionProcessID(served_.Value()) != self; ++attempt)
      std::this_thread::sleep_for(20ms);
    // A test that went on would identify nobody, and fail somewhere later.
    if (GetConnectionProcessID(served_.Value()) != self)
      ADD_FAILURE() << "the page connection's owner did not show in the TCP table within 2 s";
  }
  uint32_t Socket() const { return served_.Value(); }

 private:
  host::LoopbackListener listener_;
  host::TcpSocket client_;
  host::TcpSocket served_;
};

class UserInstancesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=TRUE\r\n");
    SetServiceExecutablePath(FakeService());
    VirtualManagerClient::DestroyInstance();
    test::TakeLog();
  }
  void TearDown() override { VirtualManagerClient::DestroyInstance(); }

  // VersionInfo over a real connection; returns the user key.
  std::string VersionInfo(const PageConnection& page) { return VersionInfoOn(page.Socket()); }
  std::string VersionInfoOn(uint32_t socket) {
    const std::string reply = test::Send("{\"id\":\"v\",\"method\":\"VersionInfo\"}", test::kLocalOrigin, socket);
    std::smatch match;
    EXPECT_TRUE(std::regex_search(reply, match, std::regex("Module\", \"([0-9]+)\", \"(true|false)\"")) ||
                std::regex_search(reply, match, std::regex("Module\",\n      \"([0-9]+)\",\n      \"(true|false)\"")))
        << reply;
    return match.size() > 1 ? match[1].str() : std::string();
  }
  std::string GetPorts(const std::string& key, const PageConnection& page) { return GetPortsOn(key, page.Socket()); }
  std::string GetPortsOn(const std::string& key, uint32_t socket) {
    return test::Send("{\"id\":\"p\",\"method\":\"GetPorts\",\"parameter\":[\"" + key + "\"]}", test::kLocalOrigin,
                      socket);
  }
};

#ifdef _WIN32
bool ProcessGone(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// Neither the copy nor any process it started runs (Windows keeps the pid of
// a process's parent after the parent has gone).
bool NothingLeftOf(uint32_t copy) {
  if (!ProcessGone(copy)) return false;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  bool left = false;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ParentProcessID == copy && !ProcessGone(entry.th32ProcessID)) left = true;
  CloseHandle(snapshot);
  return !left;
}
#else
// Its state letter from /proc; 0 when it has no entry.
char ProcessState(uint32_t pid) {
  const std::string stat = test::ReadFileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  return end == std::string::npos || end + 2 >= stat.size() ? 0 : stat[end + 2];
}

// A zombie counts as gone: nothing here reaps the orphans it inherits.
bool ProcessGone(uint32_t pid) { return kill(static_cast<pid_t>(pid), 0) != 0 || ProcessState(pid) == 'Z'; }

// No process of the copy's process group runs: the copy leads it, and what it
// starts stays in it.
bool NothingLeftOf(uint32_t copy) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = test::ReadFileText(entry.path().string() + "/stat");
    const size_t end = stat.rfind(')');
    if (end == std::string::npos) continue;
    std::istringstream fields(stat.substr(end + 2));
    char state = 0;
    long parent = 0, group = 0;
    fields >> state >> parent >> group;
    if (group == static_cast<long>(copy) && state != 'Z') return false;
  }
  return true;
}

// What a process holds open: socket inodes and file paths (links resolved).
std::set<std::string> OpenObjects(const std::string& pid) {
  std::set<std::string> objects;
  const std::string folder = "/proc/" + pid + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (target.rfind("socket:", 0) == 0 || (target.rfind("/", 0) == 0 && target != "/dev/null")) objects.insert(target);
  }
  return objects;
}

bool SemaphoreExists(const std::string& eventName) {
  std::string name = "/dev/shm/sem.";
  for (char c : eventName) name += (c == '\\' || c == '/') ? '_' : c;
  return test::FileExists(name);
}
#endif

uint32_t StartedPid(const std::string& log) {
  std::smatch match;
  if (!std::regex_search(log, match, std::regex("CreateProcessAsCurrentLogonUser return: ([0-9]+)"))) return 0;
  return static_cast<uint32_t>(std::stoul(match[1].str()));
}

int EventCounter(const std::string& eventName) {
  std::smatch match;
  if (!std::regex_match(eventName, match,
                        std::regex("Global\\\\Corvantis_16\\.2_-?[0-9]+_stop_service_event_([0-9]+)")))
    return -1;
  return std::stoi(match[1].str());
}

TEST_F(UserInstancesTest, ACopyStartsForTheUserAndReportsItsPorts) {
  Mode("serve");
  PageConnection page;
  const std::string key = VersionInfo(page);
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  EXPECT_EQ(UserKeyOf(sid), key);
  ASSERT_TRUE(Eventually([] { return Arguments().size() == 6; }));
  const std::vector<std::string> args = Arguments();
  EXPECT_EQ("-asconsole", args[1]);
  EXPECT_EQ("-asuser", args[2]);
  EXPECT_GT(EventCounter(args[3]), 0) << args[3];
  EXPECT_EQ(sid, args[4]);
  EXPECT_EQ("notused", args[5]);
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find("\"" + FakeService() + "\" \"-asconsole\" \"-asuser\" \"" + args[3] + "\" \"" +
                                        sid + "\" \"notused\"\n"));
  const uint32_t pid = StartedPid(log);
  ASSERT_NE(0u, pid);
#ifndef _WIN32
  // The copy holds none of the host's sockets or files, standard streams included.
  const std::set<std::string> host = OpenObjects("self");
  ASSERT_FALSE(host.empty());
  for (const std::string& object : OpenObjects(std::to_string(pid))) EXPECT_EQ(0u, host.count(object)) << object;
#endif

  EXPECT_EQ(PortsReply(key, 0, 0, 0, 0), GetPorts(key, page));
  test::WriteFileText(Folder() + "fake_service.release", "go");
  ASSERT_TRUE(Eventually([&] { return CopyPorts().size() == 4; }));
  const std::vector<int> ports = CopyPorts();
  EXPECT_EQ(PortsReply(key, ports[0], ports[1], ports[2], ports[3]), GetPorts(key, page));
  EXPECT_EQ(0u, StartedPid(test::TakeLog()));  // the running copy was reused
  // user_config.ini is open to every user: a port written there for someone
  // counts only if that user's copy listens on it.
  const std::string file = GetUserConfigurationFilePath();
  uint16_t closed = 0;
  {
    host::LoopbackListener gone;
    closed = gone.Port();
  }
  platform::WriteProfileValue(sid.c_str(), "zep", std::to_string(closed).c_str(), file.c_str());
  platform::WriteProfileValue(sid.c_str(), "qro_ssl", "70000", file.c_str());
  EXPECT_EQ(PortsReply(key, ports[0], 0, 0, ports[3]), GetPorts(key, page));
#ifndef _WIN32
  // A port that another process listens on (Wine names no owner of a listener: see the README).
  host::LoopbackListener attackers;
  platform::WriteProfileValue(sid.c_str(), "zep", std::to_string(attackers.Port()).c_str(), file.c_str());
  EXPECT_EQ(PortsReply(key, ports[0], 0, 0, ports[3]), GetPorts(key, page));
#endif

  VirtualManagerClient::DestroyInstance();
  EXPECT_TRUE(Eventually([] { return test::FileExists(Folder() + "fake_service.stopped"); }));
  EXPECT_TRUE(Eventually([&] { return ProcessGone(pid); }));
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: notify process exit: p=" + std::to_string(pid) + "\n"));
}

TEST_F(UserInstancesTest, AnEndedCopyIsReplaced) {
  Mode("exit");
  PageConnection page;
  const std::string key = VersionInfo(page);
  const uint32_t first = StartedPid(test::TakeLog());
  ASSERT_NE(0u, first);
  ASSERT_TRUE(Eventually([] { return Arguments().size() == 6; }));
  const int counter = EventCounter(Arguments()[3]);
  std::this_thread::sleep_for(100ms);
  test::RemoveFile(Folder() + "fake_service.args");
  Mode("serve");
  EXPECT_EQ(PortsReply(key, 0, 0, 0, 0), GetPorts(key, page));
  const std::string log = test::TakeLog();
  EXPECT_NE(std::string::npos, log.find("]: terminate process: p=" + std::to_string(first) + "\n"));
  EXPECT_NE(0u, StartedPid(log));
  ASSERT_TRUE(Eventually([] { return Arguments().size() == 6; }));
  EXPECT_EQ(counter + 1, EventCounter(Arguments()[3]));
}

// A copy that ignores its stop event is stopped by force, and takes everything
// it started with it, also when it is stopped while it still starts (under
// Wine, its console host then starts during its first milliseconds).
TEST_F(UserInstancesTest, AForcedStopEndsEverythingTheCopyStarted) {
  for (bool early : {false, true}) {
    Mode("spawn");
    PageConnection page;
    VersionInfo(page);
    const uint32_t copy = StartedPid(test::TakeLog());
    ASSERT_NE(0u, copy);
    uint32_t child = 0;
    std::string eventName;
    if (!early) {
      ASSERT_TRUE(Eventually([&] { return (child = CopysChild()) != 0; }));
      eventName = Arguments()[3];
#ifndef _WIN32
      EXPECT_TRUE(SemaphoreExists(eventName));
#endif
    }
    VirtualManagerClient::DestroyInstance();
    EXPECT_TRUE(Eventually([&] { return NothingLeftOf(copy); })) << (early ? "stopped early" : "stopped");
    if (early) continue;
    EXPECT_TRUE(ProcessGone(child));
    EXPECT_NE(std::string::npos, test::TakeLog().find("]: force process exit: p=" + std::to_string(copy) + "\n"));
#ifndef _WIN32
    EXPECT_FALSE(SemaphoreExists(eventName));  // the killed copy could not remove it itself
#endif
  }
}

#ifdef _WIN32
// A client in a user's session gets its copy with that session's user token;
// a client in session 0 (a service's) with its own process's token.
TEST_F(UserInstancesTest, BothTokenPaths) {
  Mode("exit");
  PageConnection page;
  VersionInfo(page);
  std::string log = test::TakeLog();
  const uint32_t first = StartedPid(log);
  ASSERT_NE(0u, first) << log;
  EXPECT_EQ(std::string::npos, log.find("]: Client process id="));
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  ManagerClient& manager = VirtualManagerClient::GetInstance()->GetManagerClient();
  manager.UserInstances().at(sid).sessionId = 0;
  ASSERT_TRUE(Eventually([&] { return ProcessGone(first); }));
  // Straight to the start: a GetPorts would identify the page's session again.
  std::string error;
  manager.GetCurrentUserModulePorts(sid, error);
  EXPECT_EQ("", error);
  log = test::TakeLog();
  const uint32_t second = StartedPid(log);
  EXPECT_NE(0u, second) << log;
  // Gone on its own before the test ends: the stop never meets it starting.
  EXPECT_TRUE(Eventually([&] { return NothingLeftOf(second); }));
  EXPECT_NE(std::string::npos,
            log.find("]: Client process id=" + std::to_string(platform::CurrentProcessId()) + ", query return="));
  EXPECT_NE(std::string::npos, log.find("]: OpenProcessToken token:"));
  EXPECT_NE(std::string::npos, log.find("]: Create progress return 1("));
}
#else

TEST_F(UserInstancesTest, AKilledCopyIsReplacedAndItsEventRemoved) {
  Mode("ignore");
  PageConnection page;
  const std::string key = VersionInfo(page);
  const uint32_t pid = StartedPid(test::TakeLog());
  ASSERT_NE(0u, pid);
  ASSERT_TRUE(Eventually([] { return Arguments().size() == 6; }));
  const std::string eventName = Arguments()[3];
  ASSERT_TRUE(Eventually([&] { return SemaphoreExists(eventName); }));
  kill(static_cast<pid_t>(pid), SIGKILL);
  ASSERT_TRUE(Eventually([&] {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string text((std::istreambuf_iterator<char>(status)), std::istreambuf_iterator<char>());
    return text.find("State:\tZ") != std::string::npos;
  }));
  Mode("serve");
  GetPorts(key, page);
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: terminate process: p=" + std::to_string(pid) + "\n"));
  EXPECT_FALSE(SemaphoreExists(eventName));
}

// A copy that something else reaped is gone, even when its pid now names
// another process: stopping the module must leave that process alone.
TEST_F(UserInstancesTest, StoppingNeverHitsAProcessThatReusedACopysPid) {
  if (geteuid() != 0) GTEST_SKIP() << "placing a process at a chosen pid needs root";
  Mode("ignore");
  PageConnection page;
  VersionInfo(page);
  const pid_t pid = static_cast<pid_t>(StartedPid(test::TakeLog()));
  ASSERT_NE(0, pid);
  ASSERT_TRUE(Eventually([] { return Arguments().size() == 6; }));
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));  // reaped here, behind the module's back
  // The next process takes the copy's pid.
  pid_t decoy = -1;
  for (int attempt = 0; attempt < 20 && decoy != pid; ++attempt) {
    if (decoy > 0) {
      kill(decoy, SIGKILL);
      waitpid(decoy, &status, 0);
    }
    std::ofstream("/proc/sys/kernel/ns_last_pid") << (pid - 1);
    decoy = fork();
    if (decoy == 0) {
      pause();
      _exit(0);
    }
  }
  if (decoy != pid) {
    kill(decoy, SIGKILL);
    waitpid(decoy, &status, 0);
    GTEST_SKIP() << "could not place a process at pid " << pid;
  }
  VirtualManagerClient::DestroyInstance();
  EXPECT_EQ(0, waitpid(decoy, &status, WNOHANG)) << "the process at the copy's old pid was killed";
  EXPECT_EQ(std::string::npos, test::TakeLog().find("force process exit"));
  kill(decoy, SIGKILL);
  waitpid(decoy, &status, 0);
}

// A page of another account: a process that runs as uid (with root kept as
// its saved uid, so that it can become root later, as a set-user-id program
// would) and holds a connection to the host.
class ForeignPage {
 public:
  explicit ForeignPage(uid_t uid) {
    int toChild[2], toParent[2];
    if (pipe(toChild) != 0 || pipe(toParent) != 0) return;
    child_ = fork();
    if (child_ == 0) {
      close(toChild[1]);
      close(toParent[0]);
      if (setresgid(uid, uid, 0) != 0 || setresuid(uid, uid, 0) != 0) _exit(2);
      host::TcpSocket client = host::ConnectLoopback(port_);
      client.Send("x", 1);
      for (char order = 0; read(toChild[0], &order, 1) == 1;) {
        if (order == 'r' && setresuid(0, 0, 0) != 0) _exit(3);
        if (write(toParent[1], &order, 1) != 1) _exit(4);
      }
      _exit(0);
    }
    close(toChild[0]);
    close(toParent[1]);
    toChild_ = toChild[1];
    fromChild_ = toParent[0];
    served_ = listener_.Accept();
  }
  ~ForeignPage() {
    close(toChild_);
    close(fromChild_);
    int status = 0;
    if (child_ > 0) waitpid(child_, &status, 0);
  }
  uint32_t Socket() const { return served_.Value(); }
  // The page's process becomes root, keeping its pid.
  bool BecomeRoot() {
    char order = 'r';
    return write(toChild_, &order, 1) == 1 && read(fromChild_, &order, 1) == 1;
  }

 private:
  host::LoopbackListener listener_;
  uint16_t port_ = listener_.Port();
  host::TcpSocket served_;
  pid_t child_ = -1;
  int toChild_ = -1, fromChild_ = -1;
};

std::string ForeignSid(uid_t uid) { return "S-1-22-1-" + std::to_string(uid); }

// A page may ask only for its own user's ports: another user's key (anyone
// can compute it) is answered as unknown, and nothing is started.
TEST_F(UserInstancesTest, AnotherUsersKeyIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "pages of two accounts need root";
  Mode("exit");
  ForeignPage victim(test::kUnprivilegedUid), attacker(test::kUnprivilegedUid - 1);
  const std::string key = VersionInfoOn(victim.Socket());
  EXPECT_EQ(UserKeyOf(ForeignSid(test::kUnprivilegedUid)), key);
  ASSERT_NE(0u, StartedPid(test::TakeLog()));
  std::this_thread::sleep_for(100ms);  // the victim's copy ends: a GetPorts would start it again
  EXPECT_EQ(
      "{\n   \"description\" : \"User SID is empty.\",\n   \"exception\" : -2408,\n   \"id\" : \"p\",\n   \"method\" : "
      "\"GetPorts\",\n   \"result\" : [ \"" +
          key + "\", false ],\n\t\"cmdId\" : \"\"\n}\n",
      GetPortsOn(key, attacker.Socket()));
  EXPECT_EQ(0u, StartedPid(test::TakeLog()));
}

// A page process that turns root after it was identified (a set-user-id
// program on the same pid) never gets a copy as root: the account is the one
// recorded, and a token of anyone else is refused.
TEST_F(UserInstancesTest, ACopyRunsOnlyAsTheRecordedUser) {
  if (geteuid() != 0) GTEST_SKIP() << "changing a page's account needs root";
  Mode("exit");
  ForeignPage page(test::kUnprivilegedUid);
  const std::string key = VersionInfoOn(page.Socket());
  ASSERT_NE(0u, StartedPid(test::TakeLog()));
  ASSERT_TRUE(page.BecomeRoot());
  std::this_thread::sleep_for(100ms);  // the user's copy ends
  // Through the page's own connection: the connection is now root's, not the key's.
  EXPECT_NE(std::string::npos, GetPortsOn(key, page.Socket()).find("\"User SID is empty.\""));
  // Straight to the start, with the record as identified.
  std::string error;
  VirtualManagerClient::GetInstance()->GetManagerClient().GetCurrentUserModulePorts(ForeignSid(test::kUnprivilegedUid),
                                                                                    error);
  EXPECT_EQ("Failed to create user process.", error);
  const std::string log = test::TakeLog();
  EXPECT_EQ(0u, StartedPid(log));
  EXPECT_NE(std::string::npos, log.find("]: CreateProcessAsCurrentLogonUser:: token user S-1-22-1-0 is not S-1-22-1-" +
                                        std::to_string(test::kUnprivilegedUid) + ".\n"));
}

#endif

// The client's own token is used only while its pid still names the process
// that was identified: one started later under the same id is refused.
TEST_F(UserInstancesTest, AClientThatIsNoLongerTheIdentifiedProcessIsRefused) {
  Mode("exit");
  PageConnection page;
  VersionInfo(page);
  ASSERT_NE(0u, StartedPid(test::TakeLog()));
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  ManagerClient& manager = VirtualManagerClient::GetInstance()->GetManagerClient();
  manager.UserInstances().at(sid).sessionId = 0;  // the client's own token, not the session's
  manager.UserInstances().at(sid).clientStartTime += 1;
  std::this_thread::sleep_for(200ms);  // the copy ends
  std::string error;
  manager.GetCurrentUserModulePorts(sid, error);
  EXPECT_EQ("Failed to create user process.", error);
  const std::string log = test::TakeLog();
  EXPECT_EQ(0u, StartedPid(log));
  EXPECT_NE(std::string::npos,
            log.find("]: CreateProcessAsCurrentLogonUser:: process " + std::to_string(platform::CurrentProcessId()) +
                     " is not the client that was identified.\n"));
}

TEST_F(UserInstancesTest, AFailedStartIsReported) {
  Mode("serve");
  SetServiceExecutablePath(Folder() + "no-such-service");
  PageConnection page;
  const std::string key = VersionInfo(page);
  EXPECT_EQ(
      "{\n   \"description\" : \"Failed to create user process.\",\n   \"exception\" : -2408,\n   \"id\" : "
      "\"p\",\n   \"method\" : \"GetPorts\",\n   \"result\" : [ \"" +
          key + "\", false ],\n\t\"cmdId\" : \"\"\n}\n",
      GetPorts(key, page));
  EXPECT_NE(std::string::npos, test::TakeLog().find("]: Create progress return 0("));
}

TEST_F(UserInstancesTest, ALegacyClientStartsNothing) {
  Mode("serve");
  PageConnection page;
  const std::string reply = test::Send("{\"id\":\"v\",\"method\":\"VersionInfo\",\"version\":\"kelpm_13000404\"}",
                                       test::kLocalOrigin, page.Socket());
  EXPECT_TRUE(std::regex_search(reply, std::regex("\"false\",\\s+\"64\"\\s+\\]"))) << reply;
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(test::FileExists(Folder() + "fake_service.args"));
}

}  // namespace
}  // namespace zep
