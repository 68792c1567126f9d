// Loads the built library as a host does and calls its ten exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "host_support/dynamic_library.h"
#include "host_support/loopback_socket.h"
#include "test_support.h"
#include "zep_exports.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zep {
namespace {

// clang-format off
#define ZEP_EXPORTS(X) X(DoAction) X(GetAlias) X(GetVersionDesc) X(GetPorts) X(GetWaitTimeout) \
    X(DistributeCommand) X(GetImage) X(SetImage) X(Reserved) X(CloseWebSocket)
// clang-format on
#define ZEP_FIELD(name) decltype(&::name) name;
struct Exports {
  ZEP_EXPORTS(ZEP_FIELD)
};

std::string directory;  // the library copy's folder

// One copy of the library in a fresh folder of its own, loaded for the whole run.
const Exports& Module() {
  static host::DynamicLibrary library;
  static Exports exports{};
  if (!library.Loaded()) {
    const std::filesystem::path source(ZEP_LIBRARY_PATH);
    const std::filesystem::path folder = test::ModuleDirectory() + "module_copy";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(source, folder / source.filename());
    directory = (folder / "").string();
    // Loaded by a name relative to its folder, which is then left: the module
    // still keeps its settings beside itself.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    EXPECT_TRUE(library.Open((std::filesystem::path(".") / source.filename()).string())) << library.Error();
    std::filesystem::current_path(before);
#define ZEP_BIND(name)                                                            \
  exports.name = reinterpret_cast<decltype(exports.name)>(library.Symbol(#name)); \
  EXPECT_NE(nullptr, exports.name) << #name;
    ZEP_EXPORTS(ZEP_BIND)
  }
  return exports;
}

std::vector<std::string> replies;

int32_t Record(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  replies.push_back(text);
  return 12;
}

int32_t Send(const char* url, const std::string& text, uint32_t socket = 0, uint32_t handle = 1) {
  return Module().DistributeCommand(handle, 2, 0, url, text.c_str(), nullptr, 0, 1, &Record, socket, "http://127.0.0.1",
                                    0, 0, 0);
}

TEST(Exports, ConstantsOfTheModule) {
  const Exports& m = Module();
  uint32_t alias = 0, port = 0;
  EXPECT_EQ(4u, m.GetAlias(nullptr));
  EXPECT_EQ(4u, m.GetAlias(&alias));
  EXPECT_EQ(0, std::memcmp(&alias, "zep", 4));
  char tag[32];
  std::memset(tag, 'x', sizeof tag);
  EXPECT_EQ(16u, m.GetVersionDesc(nullptr));
  EXPECT_EQ(16u, m.GetVersionDesc(tag));
  EXPECT_EQ(std::string("kelpm2_16261212\0x", 17), std::string(tag, 17));  // nothing written past the NUL
  EXPECT_EQ(1u, m.GetPorts(true, &port));
  EXPECT_EQ(18626u, port);
  EXPECT_EQ(1u, m.GetPorts(false, &port));
  EXPECT_EQ(18625u, port);
  EXPECT_EQ(1u, m.GetPorts(true, nullptr));
  m.CloseWebSocket(nullptr);
}

TEST(Exports, ActionsAndLifecycle) {
  const Exports& m = Module();
  for (int action : {1, 5, -1, 100}) EXPECT_FALSE(m.DoAction(action, nullptr, nullptr)) << action;
  for (int action : {2, 3, 0}) EXPECT_TRUE(m.DoAction(action, nullptr, nullptr)) << action;
  EXPECT_TRUE(m.DoAction(0, "service.exe", nullptr));
  EXPECT_EQ(1u, m.GetWaitTimeout());
  EXPECT_TRUE(m.DoAction(3, nullptr, nullptr));
  EXPECT_EQ(1u, m.GetWaitTimeout());  // a fresh singleton
}

TEST(Exports, DistributeCommandAnswersThroughTheCallback) {
  Module().DoAction(0, nullptr, nullptr);
  replies.clear();
  EXPECT_EQ(12, Send("/zep/x", R"({"id":"1","cmdId":"k","method":"ChangePort"})"));
  EXPECT_EQ(0, Send("/zep/x", R"({"id":"1","method":"ChangePort"})", 0, 0));  // no send-back handle: no reply
  const std::vector<std::string> expected = {
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : \"k\"\n}\n"};
  EXPECT_EQ(expected, replies);
  EXPECT_EQ(0, Module().DistributeCommand(1, 2, 0, nullptr, nullptr, nullptr, 0, 1, nullptr, 0, nullptr, 0, 0, 0));
}

#ifdef _WIN32
// zep.dll carries the version resource of a Windows library.
TEST(Exports, VersionResource) {
  Module();
  const std::string dll = directory + std::filesystem::path(ZEP_LIBRARY_PATH).filename().string();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ((16u << 16) | 2u, fixed->dwFileVersionMS);
  EXPECT_EQ((6u << 16) | 1212u, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
  EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
  for (const auto& [name, value] : {std::pair<const char*, const char*>{"FileVersion", "16, 2, 6, 1212"},
                                    {"ProductVersion", "16, 2, 6, 1212"},
                                    {"FileDescription", "Corvantis Service Manager Module"},
                                    {"OriginalFilename", "zep.dll"}}) {
    char* text = nullptr;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    ASSERT_TRUE(VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &length)) << name;
    EXPECT_EQ(value, std::string(text));
  }
}
#endif

// The path DoAction gives replaces the service executable path, every time:
// the per-user copy is started from it.
TEST(Exports, DoActionReplacesTheServicePath) {
  ASSERT_TRUE(Module().DoAction(0, nullptr, nullptr));
  test::WriteFileText(directory + "TKConfiguration.ini", "[TK]\r\nLogLevel=8\r\n");
  // A page's connection. Its end sends first: Wine names a connection's
  // owner only once the owner has used the socket.
  host::LoopbackListener listener;
  host::TcpSocket client = host::ConnectLoopback(listener.Port());
  host::TcpSocket served = listener.Accept();
  ASSERT_TRUE(client.Send("x", 1));
  std::string key = "0";
  test::Eventually(
      [&] {
        replies.clear();
        Send("/zep/x", R"({"id":"v","method":"VersionInfo"})", served.Value());
        std::smatch match;
        if (replies.size() == 1 && std::regex_search(replies[0], match, std::regex("Module\",\\s+\"([0-9]+)\"")))
          key = match[1].str();
        return key != "0";
      },
      std::chrono::seconds(5));
  ASSERT_NE("0", key) << "the client was never identified";
  for (const char* path : {"no-such-service-1.exe", "no-such-service-2.exe"}) {
    const std::string service = directory + path;
    ASSERT_TRUE(Module().DoAction(0, service.c_str(), nullptr));
    replies.clear();
    Send("/zep/x", R"({"id":"p","method":"GetPorts","parameter":[")" + key + "\"]}", served.Value());
    ASSERT_EQ(1u, replies.size());
    EXPECT_NE(std::string::npos, test::ReadFileText(directory + "log" + test::Separator() + "tks.log")
                                     .find("). " + service + " \"" + service + "\" \"-asconsole\""))
        << service;
  }
  test::WriteFileText(directory + "TKConfiguration.ini", "");
}

const std::string kSet = "/SetEncryptedImageMap?GUID=", kGet = "/GetEncryptedImageMap?GUID=";
int32_t Set(const std::string& request, const void* data, uint32_t size) {
  return Module().SetImage(request.c_str(), data, size);
}
int32_t Get(const std::string& request, void* buffer, uint32_t* size) {
  return Module().GetImage(request.c_str(), buffer, size);
}
int32_t Add(const char* path) { return Module().Reserved("addFileToWhiteList", path, 0); }
int32_t Query(const char* path) { return Module().Reserved("fileInQROWhiteList", path, 0); }

// Each test starts with a module that holds no records and no paths.
class Store : public ::testing::Test {
 protected:
  void SetUp() override { Module().DoAction(3, nullptr, nullptr); }
};

// Exactly 524 bytes, zeros after a shorter record; caller errors change
// nothing; a fetch keeps the record, an empty store erases it; the key is the
// rest of the text, after the first marker; the store is empty after a restart.
TEST_F(Store, ImageRecords) {
  std::vector<unsigned char> record(524), out(600, 0xEE);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(1, Set(kSet + "abc", record.data(), 524));
  uint32_t size = 0;
  EXPECT_EQ(1, Get(kGet + "abc", nullptr, &size));
  EXPECT_EQ(524u, size);
  EXPECT_EQ(0, Set(kSet + "abc", out.data(), 525));
  EXPECT_EQ(0, Module().GetImage(nullptr, out.data(), &size));
  EXPECT_EQ(0, Module().SetImage(nullptr, out.data(), 1));
  EXPECT_EQ(0, Get(kGet + "abc", out.data(), nullptr));
  EXPECT_EQ(1, Get(kGet + "abc", out.data(), &size));
  EXPECT_EQ(record, std::vector<unsigned char>(out.begin(), out.begin() + 524));
  EXPECT_EQ(0xEE, out[524]);
  const char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(1, Set(kSet + "abc", ten, 10));
  ASSERT_EQ(1, Get(kGet + "abc", out.data(), &size));
  EXPECT_EQ(0, std::memcmp(out.data(), ten, 10));
  EXPECT_EQ(std::vector<unsigned char>(514, 0), std::vector<unsigned char>(out.begin() + 10, out.begin() + 524));
  EXPECT_EQ(1, Set(kSet + "abc", nullptr, 0));
  EXPECT_EQ(0, Get(kGet + "abc", out.data(), &size));
  ASSERT_EQ(1, Set(kSet + "abc", ten, 1));
  size = 77;
  for (const char* request : {"/GetEncryptedImageMap?GUID=abc&x=1", "/GetEncryptedImageMap?GUID=ABC",
                              "/GetEncryptedImageMap?guid=abc", "/SetEncryptedImageMap?GUID=abc"})
    EXPECT_EQ(0, Get(request, out.data(), &size)) << request;
  EXPECT_EQ(77u, size);
  EXPECT_EQ(1, Set("GUID=k/SetEncryptedImageMap?", ten, 1));
  EXPECT_EQ(1, Get(kGet + "k/SetEncryptedImageMap?", out.data(), &size));
  EXPECT_EQ(0, Set(kSet, ten, 1));
  Module().DoAction(3, nullptr, nullptr);
  Module().DoAction(0, nullptr, nullptr);
  EXPECT_EQ(0, Get(kGet + "abc", out.data(), &size));
}

// Backslashes count as slashes, nothing else is normalised, at every length
// around the buffer a query normalises into; the key must be whole, the
// argument 0; the list is empty after a restart.
TEST_F(Store, WhiteList) {
  const Exports& m = Module();
  EXPECT_EQ(0, Add("C:\\Data\\a.txt"));
  EXPECT_EQ(0, Query("C:/Data/a.txt"));
  for (const char* other : {"c:\\data\\a.txt", "C:\\Data\\", "C:\\Data\\.\\a.txt"}) EXPECT_EQ(-1, Query(other));
  for (size_t length : {511u, 512u, 513u, 2000u}) {
    std::string path = "C:\\Deep\\" + std::string(length - 12, 'd') + "\\x.t";
    EXPECT_EQ(0, Add(path.c_str())) << length;
    std::replace(path.begin(), path.end(), '\\', '/');
    EXPECT_EQ(0, Query(path.c_str())) << length;
    path.back() = 'u';
    EXPECT_EQ(-1, Query(path.c_str())) << length;
  }
  EXPECT_EQ(-1, m.Reserved("addFileToWhiteList", "x", 1));
  EXPECT_EQ(-1, Query("x"));
  EXPECT_EQ(-1, m.Reserved(nullptr, "x", 0));
  EXPECT_EQ(-1, Add(nullptr));
  EXPECT_EQ(-1, m.Reserved("addFileToWhite", "x", 0));
  EXPECT_EQ(0, m.Reserved("addFileToWhiteListAndMore", "y", 0));
  EXPECT_EQ(0, m.Reserved("fileInQROWhiteList!", "y", 0));
  m.DoAction(3, nullptr, nullptr);
  m.DoAction(0, nullptr, nullptr);
  EXPECT_EQ(-1, Query("C:\\Data\\a.txt"));
}

// A host stops the module before it unloads the library.
class StopModuleAtExit : public ::testing::Environment {
 public:
  void TearDown() override { Module().DoAction(3, nullptr, nullptr); }
};
const auto* const stopAtExit = ::testing::AddGlobalTestEnvironment(new StopModuleAtExit);

}  // namespace
}  // namespace zep
