// POSIX files shared with copies running as other users: INI writes follow
// the file's own permission and keep its owner and mode, survive a writer
// killed at any moment, and files of the shared folders are open to all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "platform/profile.h"
#include "test_support.h"

namespace zep {
namespace {

namespace fs = std::filesystem;

std::string Read(const std::string& file, const char* key) {
  char value[520] = {0};
  platform::ReadProfileValue("TK", key, "<none>", value, sizeof value, file.c_str());
  return value;
}

struct stat Stat(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info;
}

class PosixFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = test::ModuleDirectory() + "posix_files/";
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::string folder_;
};

// A copy running as another user records its ports in user_config.ini: 0666,
// owned by root, in root's 0755 folder. It can write the file, not the folder:
// the writes go in place, the owner and mode kept.
TEST_F(PosixFiles, AWritableFileInAFolderOfOthersIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to stand for the host";
  const std::string file = folder_ + "user_config.ini";
  test::WriteFileText(file, "[S-1]\r\nzep=0\r\n");
  chmod(folder_.c_str(), 0755);
  chmod(file.c_str(), 0666);
  const struct stat before = Stat(file);
  EXPECT_TRUE(test::AsUnprivilegedUser([&] {
    return platform::WriteProfileValue("S-1", "zep", "21003", file.c_str()) &&
           platform::WriteProfileValue("S-1", "qro", "21001", file.c_str());
  }));
  EXPECT_EQ("[S-1]\r\nzep=21003\r\nqro=21001\r\n", test::ReadFileText(file));
  const struct stat after = Stat(file);
  EXPECT_EQ((std::vector<unsigned long>{before.st_ino, 0, 0666}),
            (std::vector<unsigned long>{after.st_ino, after.st_uid, after.st_mode & 07777}));
}

// A read-only file is not written, though the folder would allow replacing
// it; a file replaced by rename keeps its owner and mode.
TEST_F(PosixFiles, ReadOnlyFilesAreSparedAndReplacedOnesKeepOwnerAndMode) {
  const std::string readOnly = folder_ + "ro.ini", file = folder_ + "settings.ini";
  test::WriteFileText(readOnly, "[TK]\r\nA=1\r\n");
  test::WriteFileText(file, "[TK]\r\nA=1\r\n");
  chmod(folder_.c_str(), 0777);
  chmod(readOnly.c_str(), 0444);
  chmod(file.c_str(), 0640);
  if (geteuid() == 0) {
    ASSERT_EQ(0, chown(file.c_str(), test::kUnprivilegedUid, test::kUnprivilegedUid));
  }
  EXPECT_FALSE(platform::WriteProfileValue("TK", "A", "2", readOnly.c_str()));  // root too
  EXPECT_TRUE(test::AsUnprivilegedUser([&] { return !platform::WriteProfileValue("TK", "A", "2", readOnly.c_str()); }));
  EXPECT_EQ("[TK]\r\nA=1\r\n", test::ReadFileText(readOnly));
  EXPECT_EQ(0444u, Stat(readOnly).st_mode & 07777);
  EXPECT_EQ(geteuid(), Stat(readOnly).st_uid);
  const struct stat before = Stat(file);
  ASSERT_TRUE(platform::WriteProfileValue("TK", "A", "2", file.c_str()));
  EXPECT_EQ("2", Read(file, "A"));
  const struct stat after = Stat(file);
  EXPECT_EQ(before.st_uid, after.st_uid);
  EXPECT_EQ(before.st_gid, after.st_gid);
  EXPECT_EQ(0640u, after.st_mode & 07777);
}

// Writers killed at any moment leave the old file or the new one, whole, and
// no temporary file once the next write is done; readers never see half a file.
TEST_F(PosixFiles, KilledWritersLoseNothingAndLeaveNothing) {
  const std::string file = folder_ + "settings.ini";
  std::string text = "[TK]\r\n";
  for (int i = 0; i < 200; ++i) text += "K" + std::to_string(i) + "=" + std::string(40, 'v') + "\r\n";
  test::WriteFileText(file, text);
  std::atomic<bool> reading{true};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (reading)
      if (Read(file, "K0") == "<none>" || Read(file, "K199") == "<none>") ++torn;
  });
  std::mt19937 random(7);
  for (int kill = 0; kill < 30; ++kill) {
    const pid_t writer = fork();
    if (writer == 0) {
      for (int i = 0;; ++i) platform::WriteProfileValue("TK", "Counter", std::to_string(i).c_str(), file.c_str());
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 + random() % 3000));
    ::kill(writer, SIGKILL);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_NE("<none>", Read(file, "K199")) << "after kill " << kill;
  }
  reading = false;
  reader.join();
  EXPECT_EQ(0, torn.load());
  ASSERT_TRUE(platform::WriteProfileValue("TK", "Counter", "done", file.c_str()));
  EXPECT_EQ("done", Read(file, "Counter"));
  for (const auto& entry : fs::directory_iterator(folder_)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "settings.ini" || name == ".settings.ini.lock") << name << " left behind";
  }
}

// The ports file that the copies write is open to every user. A log and a
// settings file are their creator's alone to write, whatever the umask, and a
// log of one's own that others could write is made one's own again.
TEST_F(PosixFiles, FilesAreCreatedForTheirWriters) {
  const mode_t saved = umask(0);
  test::WriteFileText(folder_ + "old.log", "");
  chmod((folder_ + "old.log").c_str(), 0666);
  EXPECT_TRUE(platform::ProbeSharedFile(folder_ + "tks.log", platform::FileWriters::kCreator));
  EXPECT_TRUE(platform::AppendToSharedFile(folder_ + "tku.log", "line\n", platform::FileWriters::kCreator));
  EXPECT_TRUE(platform::AppendToSharedFile(folder_ + "old.log", "line\n", platform::FileWriters::kCreator));
  EXPECT_TRUE(platform::ProbeSharedFile(folder_ + "user_config.ini", platform::FileWriters::kEveryone));
  EXPECT_TRUE(platform::WriteProfileValue("TK", "LogLevel", "1", (folder_ + "TKConfiguration.ini").c_str()));
  umask(saved);
  for (const char* name : {"tks.log", "tku.log", "old.log", "TKConfiguration.ini"})
    EXPECT_EQ(0644u, Stat(folder_ + name).st_mode & 07777) << name;
  EXPECT_EQ(0666u, Stat(folder_ + "user_config.ini").st_mode & 07777);
  chmod(folder_.c_str(), 01777);
  EXPECT_TRUE(test::AsUnprivilegedUser([&] {
    return open((folder_ + "tks.log").c_str(), O_WRONLY) < 0 && open((folder_ + "old.log").c_str(), O_WRONLY) < 0 &&
           !platform::AppendToSharedFile(folder_ + "tks.log", "forged\n", platform::FileWriters::kCreator);
  }));
}

// Anyone who may open an INI file may lock it. A lock that another user
// holds holds up no read; nor a write of the service's own settings, whose
// writers lock what only the service may open; and a write of the file open
// to all, which anyone may lock, only briefly, once for many keys.
TEST_F(PosixFiles, ALockHeldByAnotherUserHoldsNothingUp) {
  if (geteuid() != 0) GTEST_SKIP() << "a lock of another account needs root";
  const std::string own = folder_ + "TKConfiguration.ini", shared = folder_ + "user_config.ini";
  test::WriteFileText(own, "[TK]\nLogLevel=14\n");
  test::WriteFileText(shared, "[S-1]\nzep=7\n");
  chmod(shared.c_str(), 0666);
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t holder = fork();
  if (holder == 0) {
    if (setgid(test::kUnprivilegedUid) != 0 || setuid(test::kUnprivilegedUid) != 0) _exit(2);
    const int first = open(own.c_str(), O_RDONLY), second = open(shared.c_str(), O_RDONLY);
    if (flock(first, LOCK_EX) != 0 || flock(second, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) _exit(3);
    pause();
  }
  char byte = 0;
  ASSERT_EQ(1, read(ready[0], &byte, 1));
  auto accesses = std::async(std::launch::async, [&] {
    std::string outcome = Read(own, "LogLevel");
    outcome += platform::WriteProfileValue("TK", "LogLevel", "15", own.c_str()) ? " written, " : " refused, ";
    int written = 0;
    for (int key = 0; key < 40; ++key)
      written += platform::WriteProfileValue("S-1", ("k" + std::to_string(key)).c_str(), "1", shared.c_str());
    char value[16] = {0};
    platform::ReadProfileValue("S-1", "zep", "0", value, sizeof value, shared.c_str());
    return outcome + std::to_string(written) + " written, zep=" + value;
  });
  // Forty waits of a second, or of the brief wait, would take far longer.
  const bool ended = accesses.wait_for(std::chrono::seconds(4)) == std::future_status::ready;
  kill(holder, SIGKILL);  // else a call that waits for good never returns
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(ended);
  EXPECT_EQ("14 written, 0 written, zep=7", accesses.get());
  EXPECT_EQ("15", Read(own, "LogLevel"));
}

}  // namespace
}  // namespace zep
