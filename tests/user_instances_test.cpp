#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
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
#include "platform/user_process.h"
#include "settings/settings_store.h"
#include "test_support.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h.
#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <cstdio>
#else
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#endif

namespace zep {

namespace {

using namespace std::chrono_literals;
constexpr auto npos = std::string::npos;

std::string Folder() { return test::ModuleDirectory(); }

// The stand-in service beside this program, in this platform's path form.
std::string FakeService() { return Folder() + std::filesystem::path(ZEP_FAKE_SERVICE).filename().string(); }

// How the copies started next behave; clears what the last one wrote.
void Mode(const std::string& mode) {
  test::WriteFileText(Folder() + "fake_service.mode", mode + "\n");
  for (const char* name : {"stopped", "args", "ports", "child"}) test::RemoveFile(Folder() + "fake_service." + name);
}

// The lines the stand-in copy wrote to fake_service.<name> (args, ports, child, stopped), once there are
// count of them; as many empty ones when there never are.
std::vector<std::string> Await(const std::string& name, size_t count) {
  std::vector<std::string> lines;
  const bool written = test::Eventually([&] {
    lines.clear();
    std::istringstream stream(test::ReadFileText(Folder() + "fake_service." + name));
    for (std::string line; std::getline(stream, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // CR LF on Windows
      lines.push_back(line);
    }
    return lines.size() == count;
  });
  if (!written) ADD_FAILURE() << "fake_service." << name << " has no " << count << " lines";
  lines.resize(count);
  return lines;
}

// The ports in the order qro, qro_ssl, zep, zep_ssl.
std::string PortsReply(const std::string& key, const std::vector<std::string>& p) {
  return test::Styled(R"({"event":"GetPorts","id":"p","cmdId":"","result":[")" + key + R"(",{"qro":{"port":)" + p[0] +
                      R"(,"sslPort":)" + p[1] + R"(},"zep":{"port":)" + p[2] + R"(,"sslPort":)" + p[3] + "}}]}");
}
std::string Refusal(const std::string& description, const std::string& key) {
  return test::Styled(R"({"description":")" + description + R"(","exception":-2408,"id":"p","method":"GetPorts",)" +
                      R"("result":[")" + key + R"(",false],"cmdId":""})");
}

// The number that the pattern's group finds in the text; 0 when there is none.
uint32_t Number(const std::string& text, const char* pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? std::stoul(match[1].str()) : 0;
}
uint32_t StartedPid(const std::string& log) { return Number(log, "CreateProcessAsCurrentLogonUser return: ([0-9]+)"); }
uint32_t EventCounter(const std::string& eventName) {
  return Number(eventName, R"(^Global\\Corvantis_16\.2_-?[0-9]+_stop_service_event_([0-9]+)$)");
}

// VersionInfo over that connection, in per-user mode; the user key it gives.
std::string VersionInfo(uint32_t socket) {
  const std::string reply = test::Send(R"({"id":"v","method":"VersionInfo"})", test::kLocalOrigin, socket);
  std::smatch match;
  EXPECT_TRUE(std::regex_search(reply, match, std::regex(R"re(Module",\s+"([0-9]+)",\s+"true")re"))) << reply;
  return match.size() > 1 ? match[1].str() : std::string();
}

class UserInstancesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::InitializeModuleWith("[TK]\r\nLogLevel=14\r\nEnableEnhancedMode=TRUE\r\n");
    SetServiceExecutablePath(FakeService());
    VirtualManagerClient::DestroyInstance();
    test::TakeLog();
  }
  void TearDown() override { VirtualManagerClient::DestroyInstance(); }

  // A page's connection to the host, through which the module identifies the
  // user. The page's end sends first, and the connection is ready once the TCP
  // table names this process as its owner (Wine names an owner only after that).
  uint32_t Connect() {
    client = host::ConnectLoopback(listener.Port());
    served = listener.Accept();
    client.Send("x", 1);
    // A test that went on would identify nobody, and fail somewhere later.
    if (!test::Eventually([&] { return GetConnectionProcessID(served.Value()) == platform::CurrentProcessId(); }))
      ADD_FAILURE() << "the page connection's owner did not show in the TCP table";
    return served.Value();
  }
  // Has this process's page identified, which starts a copy in that mode; its pid (0 if none started).
  uint32_t Start(const std::string& mode) {
    Mode(mode);
    key = VersionInfo(Connect());
    log = test::TakeLog();
    return StartedPid(log);
  }
  std::string Ports() {
    return test::Send(R"({"id":"p","method":"GetPorts","parameter":[")" + key + R"("]})", test::kLocalOrigin,
                      served.Value());
  }

  host::LoopbackListener listener;
  host::TcpSocket client, served;
  std::string key, log;  // the page's user key, and the log of the start
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

// What another user may do before a copy starts: take the names the next
// start would give its stop event, for every tick of the next seconds. An
// event under the next counter (which they could set), a mutex under the one
// after (which a copy could not wait on).
class Squatter {
 public:
  explicit Squatter(uint32_t counter) {
    const uint32_t now = GetTickCount();
    for (uint32_t tick = now; tick != now + 5000; ++tick) {
      objects_.push_back(CreateEventA(nullptr, TRUE, FALSE, StopEventName(tick, counter).c_str()));
      objects_.push_back(CreateMutexA(nullptr, FALSE, StopEventName(tick, counter + 1).c_str()));
    }
  }
  ~Squatter() {
    for (HANDLE object : objects_) CloseHandle(object);
  }
  void SetEvents() {
    for (size_t i = 0; i < objects_.size(); i += 2) SetEvent(objects_[i]);
  }

 private:
  std::vector<HANDLE> objects_;
};

// The entries of the event's access list, as "<SID>:<rights in hex>".
std::string AccessListOfEvent(const std::string& name) {
  HANDLE event = OpenEventA(READ_CONTROL, FALSE, name.c_str());
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::string entries;
  if (event != nullptr && GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                          nullptr, &descriptor) == ERROR_SUCCESS) {
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
      ACCESS_ALLOWED_ACE* entry = nullptr;
      char* sid = nullptr;
      if (!GetAce(list, i, reinterpret_cast<void**>(&entry)) || !ConvertSidToStringSidA(&entry->SidStart, &sid))
        continue;
      char rights[16];
      std::snprintf(rights, sizeof rights, "%lx", static_cast<unsigned long>(entry->Mask));
      entries += std::string(entries.empty() ? "" : " ") + sid + ":" + rights;
      LocalFree(sid);
    }
    LocalFree(descriptor);
  }
  if (event != nullptr) CloseHandle(event);
  return entries;
}
#else
// The fields of /proc/<pid>/stat after the command name; none when there is no such process.
std::istringstream Stat(const std::string& pid) {
  const std::string stat = test::ReadFileText("/proc/" + pid + "/stat");
  const size_t end = stat.rfind(')');
  return std::istringstream(end == npos ? "" : stat.substr(end + 2));
}

// A zombie counts as gone: nothing here reaps the orphans it inherits.
bool ProcessGone(uint32_t pid) {
  char state = 'Z';
  Stat(std::to_string(pid)) >> state;
  return state == 'Z';
}

// No process of the copy's process group runs: the copy leads it, and what it
// starts stays in it.
bool NothingLeftOf(uint32_t copy) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    char state = 0;
    long parent = 0, group = 0;
    Stat(entry.path().filename().string()) >> state >> parent >> group;
    if (group == static_cast<long>(copy) && state != 'Z') return false;
  }
  return true;
}

// What a process holds open: socket inodes and file paths (links resolved).
std::set<std::string> OpenObjects(const std::string& pid) {
  std::set<std::string> objects;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd")) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (target.rfind("socket:", 0) == 0 || (target.rfind("/", 0) == 0 && target != "/dev/null")) objects.insert(target);
  }
  return objects;
}

#endif

TEST_F(UserInstancesTest, ACopyStartsForTheUserAndReportsItsPorts) {
  const uint32_t pid = Start("serve");
  ASSERT_NE(0u, pid);
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  EXPECT_EQ(UserKeyOf(sid), key);
  const std::vector<std::string> args = Await("args", 6);
  EXPECT_EQ((std::vector<std::string>{args[0], "-asconsole", "-asuser", args[3], sid, "notused"}), args);
  EXPECT_GT(EventCounter(args[3]), 0u) << args[3];
  EXPECT_NE(npos, log.find("\"" + FakeService() + "\" \"-asconsole\" \"-asuser\" \"" + args[3] + "\" \"" + sid +
                           "\" \"notused\"\n"));
#ifndef _WIN32
  // The copy holds none of the host's sockets or files, standard streams included.
  const std::set<std::string> host = OpenObjects("self");
  ASSERT_FALSE(host.empty());
  for (const std::string& object : OpenObjects(std::to_string(pid))) EXPECT_EQ(0u, host.count(object)) << object;
  // Its stop event is no file that its user could truncate or plant (it is SIGTERM).
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm"))
    EXPECT_EQ(npos, entry.path().string().find("stop_service_event")) << entry.path();
#endif

  const std::vector<std::string> ports = Await("ports", 4);
  EXPECT_EQ(PortsReply(key, ports), Ports());
  EXPECT_EQ(0u, StartedPid(test::TakeLog()));  // the running copy was reused
  // user_config.ini is open to every user: a port written there for someone
  // counts only if that user's copy listens on it.
  const std::string file = GetUserConfigurationFilePath();
  const uint16_t closed = host::LoopbackListener().Port();
  platform::WriteProfileValue(sid.c_str(), "zep", std::to_string(closed).c_str(), file.c_str());
  platform::WriteProfileValue(sid.c_str(), "qro_ssl", "70000", file.c_str());
  EXPECT_EQ(PortsReply(key, {ports[0], "0", "0", ports[3]}), Ports());
#ifndef _WIN32
  // A port that another process listens on (Wine names no owner of a listener: see docs/wine.md).
  host::LoopbackListener attackers;
  platform::WriteProfileValue(sid.c_str(), "zep", std::to_string(attackers.Port()).c_str(), file.c_str());
  EXPECT_EQ(PortsReply(key, {ports[0], "0", "0", ports[3]}), Ports());
#endif

  VirtualManagerClient::DestroyInstance();
  Await("stopped", 1);
  EXPECT_TRUE(test::Eventually([&] { return ProcessGone(pid); }));
  EXPECT_NE(npos, test::TakeLog().find("]: notify process exit: p=" + std::to_string(pid) + "\n"));
}

// A copy that ignores its stop event is stopped by force, and takes everything
// it started with it, also when it is stopped while it still starts (under
// Wine, its console host then starts during its first milliseconds).
TEST_F(UserInstancesTest, AForcedStopEndsEverythingTheCopyStarted) {
  for (bool early : {false, true}) {
    const uint32_t copy = Start("spawn");
    ASSERT_NE(0u, copy);
    const uint32_t child = early ? 0 : std::strtoul(Await("child", 1)[0].c_str(), nullptr, 10);
    VirtualManagerClient::DestroyInstance();
    EXPECT_TRUE(test::Eventually([&] { return NothingLeftOf(copy); })) << (early ? "stopped early" : "stopped");
    if (early) continue;
    EXPECT_TRUE(ProcessGone(child));
    EXPECT_NE(npos, test::TakeLog().find("]: force process exit: p=" + std::to_string(copy) + "\n"));
  }
}

// A client in a user's session gets its copy with that session's user token
// (Windows only); a client in session 0 (a service's) with its own process's
// token, and only while its pid still names the process that was identified.
// A copy that ended is replaced, under a new stop event that the module
// makes, skipping names someone else took: it stops when the module sets it,
// and only then.
TEST_F(UserInstancesTest, AnEndedCopyIsReplacedWithTheRightToken) {
  uint32_t copy = Start("exit");
  ASSERT_NE(0u, copy) << log;
#ifdef _WIN32
  EXPECT_EQ(npos, log.find("]: Client process id="));
#endif
  const std::string sid = platform::GetProcessUserSID(platform::CurrentProcessId());
  const std::string self = std::to_string(platform::CurrentProcessId());
  const std::string eventName = Await("args", 6)[3];
  ManagerClient& manager = VirtualManagerClient::Acquire()->GetManagerClient();
  manager.UserInstances().at(sid).sessionId = 0;
  // Each copy is gone on its own before the next start: a stop never meets it starting.
  ASSERT_TRUE(test::Eventually([&] { return NothingLeftOf(copy); }));
  Mode("serve");
#ifdef _WIN32
  Squatter squatter(EventCounter(eventName) + 1);
  const uint32_t taken = 2;
#else
  const uint32_t taken = 0;  // the stop is SIGTERM: there are no names to take
#endif
  // Straight to the start: a GetPorts would identify the page's session again.
  std::string error;
  manager.GetCurrentUserModulePorts(sid, error);
  EXPECT_EQ("", error);
  log = test::TakeLog();
  EXPECT_NE(npos, log.find("]: terminate process: p=" + std::to_string(copy) + "\n"));
  copy = StartedPid(log);
  ASSERT_NE(0u, copy) << log;
  EXPECT_NE(npos, log.find("]: Client process id=" + self + ", query return="));
  EXPECT_NE(npos, log.find("]: OpenProcessToken token:"));
  EXPECT_NE(npos, log.find("]: Create progress return 1("));
  const std::string nextEvent = Await("args", 6)[3];
  EXPECT_EQ(EventCounter(eventName) + 1 + taken, EventCounter(nextEvent));
#ifdef _WIN32
  EXPECT_EQ("S-1-5-18:1f0003 " + sid + ":1f0003 " + sid + ":100000", AccessListOfEvent(nextEvent));
  squatter.SetEvents();
#endif
  Await("ports", 4);
  EXPECT_FALSE(ProcessGone(copy));
  UserInstance& record = manager.UserInstances().at(sid);
  EXPECT_TRUE(record.stopEvent.Set(record.process));
  Await("stopped", 1);

  manager.UserInstances().at(sid).clientStartTime += 1;  // a later process under the same id
  ASSERT_TRUE(test::Eventually([&] { return NothingLeftOf(copy); }));
  manager.GetCurrentUserModulePorts(sid, error);
  EXPECT_EQ("Failed to create user process.", error);
  log = test::TakeLog();
  EXPECT_EQ(0u, StartedPid(log));
  EXPECT_NE(npos, log.find("]: CreateProcessAsCurrentLogonUser:: process " + self +
                           " is not the client that was identified.\n"));
}

TEST_F(UserInstancesTest, ALegacyClientOrAMissingServiceStartsNothing) {
  Mode("serve");
  const std::string reply =
      test::Send(R"({"id":"v","method":"VersionInfo","version":"kelpm_13000404"})", test::kLocalOrigin, Connect());
  EXPECT_TRUE(std::regex_search(reply, std::regex(R"("false",\s+"64"\s+\])"))) << reply;
  EXPECT_EQ(0u, StartedPid(test::TakeLog()));

  SetServiceExecutablePath(Folder() + "no-such-service");
  EXPECT_EQ(0u, Start("serve"));
  EXPECT_NE(npos, log.find("]: Create progress return 0("));
  EXPECT_EQ(Refusal("Failed to create user process.", key), Ports());
}

#ifndef _WIN32
void Reap(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// A copy that something else reaped is gone, even when its pid now names
// another process: stopping the module must leave that process alone.
TEST_F(UserInstancesTest, StoppingNeverHitsAProcessThatReusedACopysPid) {
  if (geteuid() != 0) GTEST_SKIP() << "placing a process at a chosen pid needs root";
  const pid_t pid = static_cast<pid_t>(Start("ignore"));
  ASSERT_NE(0, pid);
  Await("args", 6);
  kill(pid, SIGKILL);
  ASSERT_EQ(pid, waitpid(pid, nullptr, 0));  // reaped here, behind the module's back
  // The next process takes the copy's pid.
  pid_t decoy = -1;
  for (int attempt = 0; attempt < 20 && decoy != pid; ++attempt) {
    if (decoy > 0) Reap(decoy);
    std::ofstream("/proc/sys/kernel/ns_last_pid") << (pid - 1);
    decoy = fork();
    if (decoy == 0) {
      pause();
      _exit(0);
    }
  }
  if (decoy != pid) {
    Reap(decoy);
    GTEST_SKIP() << "could not place a process at pid " << pid;
  }
  VirtualManagerClient::DestroyInstance();
  // A signal takes a moment to end it.
  EXPECT_FALSE(test::Eventually([&] { return waitpid(decoy, nullptr, WNOHANG) == decoy; }, 200ms))
      << "the process at the copy's old pid was signalled";
  EXPECT_EQ(npos, test::TakeLog().find("force process exit"));
  Reap(decoy);
}

// A page may ask only for its own user's ports: any other user's key (anyone
// can compute it) is answered as unknown, and nothing is started. A page
// process that turns root after it was identified (a set-user-id program run
// on the same pid, holding the page's connection) speaks for nobody, and
// never gets a copy as root: a token of anyone but the recorded user is refused.
TEST_F(UserInstancesTest, APageGetsOnlyItsOwnUsersCopy) {
  if (geteuid() != 0) GTEST_SKIP() << "a page of another account needs root";
  Mode("exit");
  const uid_t uid = test::kUnprivilegedUid;
  const std::string sid = "S-1-22-1-" + std::to_string(uid);
  const std::string program = Folder() + "setuid_sleep";  // as su or sudo would be
  std::filesystem::copy_file("/bin/sleep", program, std::filesystem::copy_options::overwrite_existing);
  ASSERT_EQ(0, chown(program.c_str(), 0, 0));
  ASSERT_EQ(0, chmod(program.c_str(), 04755));
  // The page: a process of that account that runs the program when told to.
  test::PageOfAccount page(listener.Port(), uid, program.c_str());
  served = listener.Accept();
  key = VersionInfo(served.Value());
  EXPECT_EQ(UserKeyOf(sid), key);
  const uint32_t copy = StartedPid(test::TakeLog());
  ASSERT_NE(0u, copy);
  ASSERT_TRUE(test::Eventually([&] { return ProcessGone(copy); }));  // else a GetPorts would find it running
  const std::string status = "/proc/" + std::to_string(page.Pid()) + "/status";
  ASSERT_TRUE(page.RunProgram());
  ASSERT_TRUE(test::Eventually([&] {
    return test::ReadFileText(status).find("\nUid:\t" + std::to_string(uid) + "\t0\t0\t0\n") != npos;
  })) << "set-user-id programs do not run here";

  // Identified again, the program holding the page's connection is nobody.
  EXPECT_EQ(UserKeyOf(""), VersionInfo(served.Value()));
  log = test::TakeLog();
  EXPECT_EQ(0u, StartedPid(log));
  EXPECT_NE(npos, log.find("]: GetConnectionProcessID:: process " + std::to_string(page.Pid()) + " holds connection " +
                           std::to_string(served.Value()) + " but does not speak for it.\n"));
  // Through the page's own connection: the connection is now root's, not the key's.
  EXPECT_EQ(Refusal("User SID is empty.", key), Ports());
  EXPECT_EQ(0u, StartedPid(test::TakeLog()));
  // Straight to the start, with the record as identified.
  std::string error;
  VirtualManagerClient::Acquire()->GetManagerClient().GetCurrentUserModulePorts(sid, error);
  EXPECT_EQ("Failed to create user process.", error);
  log = test::TakeLog();
  EXPECT_EQ(0u, StartedPid(log));
  EXPECT_NE(npos, log.find("]: CreateProcessAsCurrentLogonUser:: token user S-1-22-1-0 is not " + sid + ".\n"));
}
#endif

}  // namespace
}  // namespace zep
