// Loads the built library as a host does and calls its ten exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
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

struct Exports {
  decltype(&::DoAction) DoAction;
  decltype(&::GetAlias) GetAlias;
  decltype(&::GetVersionDesc) GetVersionDesc;
  decltype(&::GetPorts) GetPorts;
  decltype(&::GetWaitTimeout) GetWaitTimeout;
  decltype(&::DistributeCommand) DistributeCommand;
  decltype(&::GetImage) GetImage;
  decltype(&::SetImage) SetImage;
  decltype(&::Reserved) Reserved;
  decltype(&::CloseWebSocket) CloseWebSocket;
};

std::string& LibraryDirectory() {
  static std::string directory;
  return directory;
}

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
    LibraryDirectory() = (folder / "").string();
    EXPECT_TRUE(library.Open((folder / source.filename()).string())) << library.Error();
#define ZEP_BIND(name) exports.name = reinterpret_cast<decltype(exports.name)>(library.Symbol(#name))
    ZEP_BIND(DoAction);
    ZEP_BIND(GetAlias);
    ZEP_BIND(GetVersionDesc);
    ZEP_BIND(GetPorts);
    ZEP_BIND(GetWaitTimeout);
    ZEP_BIND(DistributeCommand);
    ZEP_BIND(GetImage);
    ZEP_BIND(SetImage);
    ZEP_BIND(Reserved);
    ZEP_BIND(CloseWebSocket);
#undef ZEP_BIND
  }
  return exports;
}

std::vector<std::string> replies;

int32_t Record(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  replies.push_back(text);
  return 12;
}

TEST(Exports, ConstantsOfTheModule) {
  const Exports& m = Module();
  ASSERT_TRUE(m.DoAction && m.GetAlias && m.GetVersionDesc && m.GetPorts && m.GetWaitTimeout && m.DistributeCommand &&
              m.GetImage && m.SetImage && m.Reserved && m.CloseWebSocket);
  EXPECT_EQ(4u, m.GetAlias(nullptr));
  uint32_t alias = 0;
  EXPECT_EQ(4u, m.GetAlias(&alias));
  EXPECT_EQ(0, std::memcmp(&alias, "zep", 4));
  EXPECT_EQ(16u, m.GetVersionDesc(nullptr));
  char tag[32];
  std::memset(tag, 'x', sizeof tag);
  EXPECT_EQ(16u, m.GetVersionDesc(tag));
  EXPECT_STREQ("kelpm2_16261212", tag);
  EXPECT_EQ('x', tag[16]);
  uint32_t port = 0;
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
  EXPECT_TRUE(m.DoAction(2, nullptr, nullptr));
  EXPECT_TRUE(m.DoAction(3, nullptr, nullptr));
  EXPECT_TRUE(m.DoAction(0, nullptr, nullptr));
  const std::string directory = LibraryDirectory();
  for (const char* name : {"log", "cache", "upload", "dump", "user_config.ini"})
    EXPECT_TRUE(test::FileExists(directory + name)) << name;
  std::filesystem::remove_all(directory + "cache");
  EXPECT_TRUE(m.DoAction(0, "service.exe", nullptr));  // no second initialisation
  EXPECT_FALSE(test::FileExists(directory + "cache"));
  EXPECT_EQ(1u, m.GetWaitTimeout());
  EXPECT_TRUE(m.DoAction(3, nullptr, nullptr));
  EXPECT_EQ(1u, m.GetWaitTimeout());  // a fresh singleton
}

TEST(Exports, DistributeCommandAnswersThroughTheCallback) {
  const Exports& m = Module();
  m.DoAction(0, nullptr, nullptr);
  replies.clear();
  EXPECT_EQ(12, m.DistributeCommand(1, 2, 0, "/zep/x", "{\"id\":\"1\",\"cmdId\":\"k\",\"method\":\"ChangePort\"}",
                                    nullptr, 0, 1, &Record, 0, "http://127.0.0.1", 0, 0, 0));
  ASSERT_EQ(1u, replies.size());
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : \"k\"\n}\n",
      replies[0]);
  EXPECT_EQ(12, m.DistributeCommand(1, 2, 0, "/nowhere", "", nullptr, 0, 1, &Record, 0, "", 0, 0, 0));
  EXPECT_EQ("Invalid command", replies.back());
  EXPECT_EQ(0, m.DistributeCommand(0, 2, 0, "/zep/x", "{\"id\":\"1\",\"method\":\"ChangePort\"}", nullptr, 0, 1,
                                   &Record, 0, "", 0, 0, 0));
  EXPECT_EQ(2u, replies.size());
  EXPECT_EQ(0, m.DistributeCommand(1, 2, 0, nullptr, nullptr, nullptr, 0, 1, nullptr, 0, nullptr, 0, 0, 0));
}

#ifdef _WIN32
// zep.dll carries the version resource of a Windows library.
TEST(Exports, VersionResource) {
  Module();
  const std::string dll = LibraryDirectory() + std::filesystem::path(ZEP_LIBRARY_PATH).filename().string();
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
  auto text = [&data](const char* name) {
    char* value = nullptr;
    UINT valueLength = 0;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&value), &valueLength)) return std::string();
    return std::string(value);
  };
  EXPECT_EQ("16, 2, 6, 1212", text("FileVersion"));
  EXPECT_EQ("16, 2, 6, 1212", text("ProductVersion"));
  EXPECT_EQ("Corvantis Service Manager Module", text("FileDescription"));
  EXPECT_EQ("zep.dll", text("OriginalFilename"));
}
#endif

// The path DoAction gives replaces the service executable path, every time:
// the per-user copy is started from it.
TEST(Exports, DoActionReplacesTheServicePath) {
  const Exports& m = Module();
  ASSERT_TRUE(m.DoAction(0, nullptr, nullptr));
  test::WriteFileText(LibraryDirectory() + "TKConfiguration.ini", "[TK]\r\nLogLevel=8\r\n");
  // A page's connection. Its end sends first: Wine names a connection's
  // owner only once the owner has used the socket.
  host::LoopbackListener listener;
  host::TcpSocket client = host::ConnectLoopback(listener.Port());
  host::TcpSocket served = listener.Accept();
  ASSERT_TRUE(client.Send("x", 1));
  std::string key = "0";
  for (int attempt = 0; attempt < 100 && key == "0"; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    replies.clear();
    m.DistributeCommand(1, 2, 0, "/zep/x", "{\"id\":\"v\",\"method\":\"VersionInfo\"}", nullptr, 0, 1, &Record,
                        served.Value(), "", 0, 0, 0);
    std::smatch match;
    if (replies.size() == 1 && std::regex_search(replies[0], match, std::regex("Module\",\\s+\"([0-9]+)\"")))
      key = match[1].str();
  }
  ASSERT_NE("0", key) << "the client was never identified";
  const std::string logFile = LibraryDirectory() + "log" + test::Separator() + "tks.log";
  for (const char* path : {"no-such-service-1.exe", "no-such-service-2.exe"}) {
    const std::string service = LibraryDirectory() + path;
    ASSERT_TRUE(m.DoAction(0, service.c_str(), nullptr));
    replies.clear();
    m.DistributeCommand(1, 2, 0, "/zep/x",
                        ("{\"id\":\"p\",\"method\":\"GetPorts\",\"parameter\":[\"" + key + "\"]}").c_str(), nullptr, 0,
                        1, &Record, served.Value(), "", 0, 0, 0);
    ASSERT_EQ(1u, replies.size());
    EXPECT_NE(std::string::npos, replies[0].find("\"description\" : \"Failed to create user process.\""));
    EXPECT_NE(std::string::npos,
              test::ReadFileText(logFile).find("). " + service + " \"" + service + "\" \"-asconsole\""))
        << service;
  }
  test::WriteFileText(LibraryDirectory() + "TKConfiguration.ini", "");
}

class ImageMapTest : public ::testing::Test {
 protected:
  void SetUp() override { Module().DoAction(3, nullptr, nullptr); }
  int32_t Set(const std::string& request, const void* data, uint32_t size) {
    return Module().SetImage(request.c_str(), data, size);
  }
  int32_t Get(const std::string& request, void* buffer, uint32_t* size) {
    return Module().GetImage(request.c_str(), buffer, size);
  }
};

TEST_F(ImageMapTest, StoreFetchAndErase) {
  std::vector<unsigned char> record(524), out(600, 0xEE);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(1, Set("/SetEncryptedImageMap?GUID=abc", record.data(), 524));
  uint32_t size = 0;
  EXPECT_EQ(1, Get("/GetEncryptedImageMap?GUID=abc", out.data(), &size));
  EXPECT_EQ(524u, size);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), out.begin()));
  EXPECT_EQ(0xEE, out[524]);  // exactly 524 bytes written
  size = 0;
  EXPECT_EQ(1, Get("/GetEncryptedImageMap?GUID=abc", nullptr, &size));
  EXPECT_EQ(524u, size);
  // Caller errors change nothing: a record too long, no request, nowhere for the size.
  EXPECT_EQ(0, Set("/SetEncryptedImageMap?GUID=abc", out.data(), 525));
  EXPECT_EQ(0, Module().GetImage(nullptr, out.data(), &size));
  EXPECT_EQ(0, Module().SetImage(nullptr, out.data(), 1));
  EXPECT_EQ(0, Module().GetImage("/GetEncryptedImageMap?GUID=abc", out.data(), nullptr));
  EXPECT_EQ(1, Get("/GetEncryptedImageMap?GUID=abc", out.data(), &size));  // fetching keeps the record
  EXPECT_TRUE(std::equal(record.begin(), record.end(), out.begin()));
  // A shorter store leaves zeros after its bytes.
  const char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(1, Set("/SetEncryptedImageMap?GUID=abc", ten, 10));
  ASSERT_EQ(1, Get("/GetEncryptedImageMap?GUID=abc", out.data(), &size));
  EXPECT_EQ(0, std::memcmp(out.data(), ten, 10));
  EXPECT_EQ(std::vector<unsigned char>(514, 0), std::vector<unsigned char>(out.begin() + 10, out.begin() + 524));
  ASSERT_EQ(1, Set("/SetEncryptedImageMap?GUID=empty", record.data(), 0));
  ASSERT_EQ(1, Get("/GetEncryptedImageMap?GUID=empty", out.data(), &size));
  EXPECT_EQ(std::vector<unsigned char>(524, 0), std::vector<unsigned char>(out.begin(), out.begin() + 524));
  EXPECT_EQ(1, Set("/SetEncryptedImageMap?GUID=abc", nullptr, 0));
  EXPECT_EQ(0, Get("/GetEncryptedImageMap?GUID=abc", out.data(), &size));
  EXPECT_EQ(1, Set("/SetEncryptedImageMap?GUID=never-stored", nullptr, 0));
}

TEST_F(ImageMapTest, KeysAreTheRestOfTheText) {
  const unsigned char byte = 1;
  ASSERT_EQ(1, Set("/SetEncryptedImageMap?GUID=abc", &byte, 1));
  uint32_t size = 77;
  unsigned char out[524];
  EXPECT_EQ(0, Get("/GetEncryptedImageMap?GUID=abc&x=1", out, &size));
  EXPECT_EQ(77u, size);
  EXPECT_EQ(0, Get("/GetEncryptedImageMap?GUID=ABC", out, &size));
  EXPECT_EQ(0, Get("/GetEncryptedImageMap?guid=abc", out, &size));
  EXPECT_EQ(0, Get("/GetEncryptedImageMap?GUID=", out, &size));
  EXPECT_EQ(77u, size);
  EXPECT_EQ(0, Get("/SetEncryptedImageMap?GUID=abc", out, &size));  // a store request
  EXPECT_EQ(1, Set("x/SetEncryptedImageMap?GUID=k", &byte, 1));
  EXPECT_EQ(1, Get("x/GetEncryptedImageMap?GUID=k", out, &size));
  EXPECT_EQ(1, Set("GUID=k/SetEncryptedImageMap?", &byte, 1));
  EXPECT_EQ(1, Get("/GetEncryptedImageMap?GUID=k/SetEncryptedImageMap?", out, &size));
  EXPECT_EQ(0, Set("/SetEncryptedImageMap?GUID=", &byte, 1));
  EXPECT_EQ(0, Set("/SetEncryptedImageMap?", &byte, 1));
}

// Enough keys for the index to grow many times and for erasures to leave
// holes in the middle of probe runs, with wrap-around at the end.
TEST_F(ImageMapTest, ManyKeysSurviveGrowthAndErasures) {
  constexpr int kCount = 3000;
  const auto key = [](const char* prefix, int i) { return std::string(prefix) + "GUID=k" + std::to_string(i); };
  const auto content = [](int i, int round) {
    std::vector<unsigned char> record(524, static_cast<unsigned char>(round));
    std::memcpy(record.data(), &i, sizeof i);
    return record;
  };
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(1, Set(key("/SetEncryptedImageMap?", i), content(i, 1).data(), 524));
  std::vector<bool> erased(kCount);
  for (int i = 0; i < kCount; i += 3) {
    erased[(i * 7) % kCount] = true;  // scattered over the index
    ASSERT_EQ(1, Set(key("/SetEncryptedImageMap?", (i * 7) % kCount), nullptr, 0));
  }
  std::vector<unsigned char> out(524);
  uint32_t size = 0;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(erased[i] ? 0 : 1, Get(key("/GetEncryptedImageMap?", i), out.data(), &size)) << i;
    if (!erased[i]) {
      ASSERT_EQ(content(i, 1), out) << i;
    }
  }
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(1, Set(key("/SetEncryptedImageMap?", i), content(i, 2).data(), 524));
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(1, Get(key("/GetEncryptedImageMap?", i), out.data(), &size)) << i;
    ASSERT_EQ(content(i, 2), out) << i;
  }
}

TEST_F(ImageMapTest, ManyThreadsStoreFetchAndQuery) {
  const Exports& m = Module();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<unsigned char> record(524), out(524);
      for (int i = 0; i < 300; ++i) {
        const std::string key = std::to_string(t) + "-" + std::to_string(i);
        std::memset(record.data(), (t * 31 + i) & 0xFF, record.size());
        if (m.SetImage(("/SetEncryptedImageMap?GUID=" + key).c_str(), record.data(), 524) != 1) ++wrong;
        uint32_t size = 0;
        if (m.GetImage(("/GetEncryptedImageMap?GUID=" + key).c_str(), out.data(), &size) != 1 || out != record) ++wrong;
        const std::string path = "C:\\t" + std::to_string(t) + "\\" + std::to_string(i);
        m.Reserved("addFileToWhiteList", path.c_str(), 0);
        if (m.Reserved("fileInQROWhiteList", path.c_str(), 0) != 0) ++wrong;
        m.GetWaitTimeout();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, wrong.load());
  std::vector<unsigned char> out(524);
  uint32_t size = 0;
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 300; ++i) {
      const std::string key = std::to_string(t) + "-" + std::to_string(i);
      ASSERT_EQ(1, m.GetImage(("/GetEncryptedImageMap?GUID=" + key).c_str(), out.data(), &size)) << key;
      EXPECT_EQ((t * 31 + i) & 0xFF, out[523]);
    }
}

class WhiteListTest : public ::testing::Test {
 protected:
  void SetUp() override { Module().DoAction(3, nullptr, nullptr); }
  int32_t Query(const char* path) { return Module().Reserved("fileInQROWhiteList", path, 0); }
  int32_t Add(const char* path) { return Module().Reserved("addFileToWhiteList", path, 0); }
};

TEST_F(WhiteListTest, PathsNormaliseBackslashesOnly) {
  EXPECT_EQ(0, Add("C:\\Data\\a.txt"));
  EXPECT_EQ(0, Query("C:/Data/a.txt"));
  EXPECT_EQ(0, Query("C:\\Data\\a.txt"));
  EXPECT_EQ(-1, Query("c:\\data\\a.txt"));
  EXPECT_EQ(-1, Query("C:\\Data\\"));
  EXPECT_EQ(-1, Query("C:\\Data\\.\\a.txt"));
  EXPECT_EQ(0, Add("C:\\Data\\a.txt"));
  EXPECT_EQ(0, Query("C:/Data/a.txt"));
  // Paths of every length around the buffer a query normalises into.
  for (size_t length : {510u, 511u, 512u, 513u, 2000u}) {
    std::string path = "C:\\Deep\\" + std::string(length - 12, 'd') + "\\x.t";
    ASSERT_EQ(length, path.size());
    EXPECT_EQ(0, Add(path.c_str())) << length;
    EXPECT_EQ(0, Query(path.c_str())) << length;
    std::replace(path.begin(), path.end(), '\\', '/');
    EXPECT_EQ(0, Query(path.c_str())) << length;
    path.back() = 'u';
    EXPECT_EQ(-1, Query(path.c_str())) << length;
  }
}

TEST_F(WhiteListTest, ArgumentsAndKeys) {
  EXPECT_EQ(-1, Module().Reserved("addFileToWhiteList", "x", 1));
  EXPECT_EQ(-1, Query("x"));
  EXPECT_EQ(-1, Module().Reserved(nullptr, "x", 0));
  EXPECT_EQ(-1, Module().Reserved("addFileToWhiteList", nullptr, 0));
  EXPECT_EQ(-1, Module().Reserved("addFileToWhite", "x", 0));
  EXPECT_EQ(-1, Module().Reserved("other", "x", 0));
  EXPECT_EQ(0, Module().Reserved("addFileToWhiteListAndMore", "y", 0));
  EXPECT_EQ(0, Module().Reserved("fileInQROWhiteList!", "y", 0));
  EXPECT_EQ(0, Add(""));
  EXPECT_EQ(0, Query(""));
}

// A host stops the module before it unloads the library.
class StopModuleAtExit : public ::testing::Environment {
 public:
  void TearDown() override { Module().DoAction(3, nullptr, nullptr); }
};
const auto* const stopAtExit = ::testing::AddGlobalTestEnvironment(new StopModuleAtExit);

// Image records and the whitelist vanish when the module stops.
TEST_F(WhiteListTest, EmptyAfterARestart) {
  const unsigned char byte = 3;
  ASSERT_EQ(1, Module().SetImage("/SetEncryptedImageMap?GUID=gone", &byte, 1));
  Add("C:\\keep");
  Module().DoAction(3, nullptr, nullptr);
  Module().DoAction(0, nullptr, nullptr);
  EXPECT_EQ(-1, Query("C:\\keep"));
  uint32_t size = 0;
  unsigned char out[524];
  EXPECT_EQ(0, Module().GetImage("/GetEncryptedImageMap?GUID=gone", out, &size));
}

}  // namespace
}  // namespace zep
