// The module's profile functions, POSIX and Windows, against the system's
// own: the same INI texts are read and written by this target, by the Windows
// build's script runner under Wine with the system's profile functions and
// with the module's, and all must agree on every value read and on every line
// kept after a write (blank lines and CR aside).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace zep {
namespace {

namespace fs = std::filesystem;

// Texts with "\n" line ends; the cases vary the ends, the mark and the last newline.
const std::string kTemplates[] = {
    "[TK]\nServer=\"quoted host\"\nSingle='single'\nHalf=\"half\nInner=\"a\"b\"\nEmpty=\"\"\n",
    "[TK]\nA=1\nA=2\nB=x\n[tk]\nA=3\nC=4\n[TK]\nD=5\n",
    "; comment first\n[TK]\n; comment\n# hash\nnot a key line\nTrail=x ; trailing\nK=v\n",
    "\n\n[TK]\n\n\nA=1\n\n[Other]\n\nB=2\n\n",
    "  [ TK ]  ; after\n\t Key \t=\t value with  blanks \t\nKey2   =   \n   Spaced Name = s\n",
    "Global=g\nG2=h\n[TK]\nA=1\n",
    "[TK]\nLong=" + std::string(600, 'x') + "\nAfter=y\n",
    "[broken\nz=1\n[TK]\nA=1\n[\nB=2\n[]\nC=3\n",
    "[TK]\n=novalue\nKeyOnly\nX==double\nY=a=b\n",
    "[TK]\nLogLevel=14\nEnableEnhancedMode=TRUE\nServer=127.0.0.1\nPort_mn_0=qro\nPort_mp_0=18622\nPort=1\n",
};

// Reads ("section|key") of every text before and after its write, and the
// writes ("section|key|value", a value "@" deletes the key), one into each text in turn.
const char kReads[] =
    "TK|Server,TK|Single,TK|Half,TK|Inner,TK|Empty,TK|A,tk|a,TK|B,TK|C,TK|D,TK|Trail,TK|K,TK|; comment,"
    "TK|not a key line,Other|B,TK|Key, TK | Key ,TK|Key2,TK|Spaced Name,|Global,|G2,TK|Long,TK|After,broken|z,|z,|B,"
    "|C,TK|KeyOnly,TK|X,TK|Y,TK|LogLevel,TK|Port_mp_0,Missing|A,TK|Missing";
const char kWrites[] =
    "TK|A|9,TK|Server|new host,TK|New|  lead and trail  ,Fresh|K|v,TK|A|@,tk|Key|changed,TK|LogLevel|14,Other|B|2,"
    "|Global|g2,TK|Port_mn_1|zep";

std::string Output(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    pclose(pipe);
  }
  return output;
}

// The lines (or other items) that are not blank, without CR.
std::vector<std::string> KeptLines(const std::string& text, char end = '\n') {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line, end);) {
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

TEST(ProfileSemantics, AgreesWithTheWindowsProfileFunctions) {
  const char* runner = std::getenv("ZEP_PROFILE_SCRIPT_EXE");
  const char* prefix = std::getenv("ZEP_WINEPREFIX");
  if (runner == nullptr || prefix == nullptr)
    GTEST_SKIP() << "needs ZEP_PROFILE_SCRIPT_EXE (the Windows script runner) and ZEP_WINEPREFIX";
  const fs::path root = test::ModuleDirectory() + "profile_cases";
  fs::remove_all(root);
  // windows: the system's functions; module: the Windows build's own.
  const fs::path posix = root / "posix", windows = root / "windows", module = root / "module";
  for (const fs::path& folder : {posix, windows, module}) fs::create_directories(folder);

  const std::vector<std::string> reads = KeptLines(kReads, ','), writes = KeptLines(kWrites, ',');
  std::string script;
  int index = 0;
  for (const std::string& base : kTemplates) {
    for (int variant = 0; variant < 8; ++variant, ++index) {
      std::string text = base;
      if ((variant & 1) != 0) text = std::regex_replace(text, std::regex("\n"), "\r\n");
      if ((variant & 2) != 0) text = "\xEF\xBB\xBF" + text;
      if ((variant & 4) != 0) text.erase(text.find_last_not_of("\r\n") + 1);  // no final newline
      const std::string name = "case" + std::to_string(index) + ".ini";
      const std::string copy = "case" + std::to_string(index) + ".w.ini";
      for (const fs::path& folder : {posix, windows, module}) {
        test::WriteFileText((folder / name).string(), text);
        test::WriteFileText((folder / copy).string(), text);
      }
      for (const std::string& file : {name, copy}) {
        if (file == copy) script += "W|" + copy + "|" + writes[index % writes.size()] + "\n";
        for (const std::string& read : reads) script += "R|" + file + "|" + read + "\n";
      }
    }
  }
  script += "W|made.ini|TK|Key|value\n";
  for (const fs::path& folder : {posix, windows, module}) test::WriteFileText((folder / "script.txt").string(), script);

  const std::string posixOut = Output("cd '" + posix.string() + "' && '" + ZEP_PROFILE_SCRIPT + "' script.txt ./");
  auto underWine = [&](const fs::path& folder, const char* functions) {
    return Output("cd '" + folder.string() + "' && WINEPREFIX='" + prefix + "' WINEDEBUG=-all /usr/lib/wine/wine64 '" +
                  runner + "' script.txt '.\\\\' " + functions);
  };
  const std::vector<std::string> scriptLines = KeptLines(script),
                                 windowsLines = KeptLines(underWine(windows, "system"));
  ASSERT_EQ(scriptLines.size(), windowsLines.size()) << "the Windows runner did not run every step";
  for (const auto& [name, folder, lines] : {std::make_tuple("posix", posix, KeptLines(posixOut)),
                                            std::make_tuple("module", module, KeptLines(underWine(module, "")))}) {
    ASSERT_EQ(scriptLines.size(), lines.size()) << name;
    int differences = 0;
    for (size_t i = 0; i < scriptLines.size() && differences < 20; ++i)
      if (lines[i] != windowsLines[i]) {
        ADD_FAILURE() << scriptLines[i] << "\n  " << name << ": " << lines[i] << "\n  windows: " << windowsLines[i];
        ++differences;
      }
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string file = entry.path().filename().string();
      const std::string text = test::ReadFileText(entry.path().string());
      const std::string windowsText = test::ReadFileText((windows / file).string());
      EXPECT_EQ(KeptLines(windowsText), KeptLines(text)) << name << " " << file;
      EXPECT_EQ(windowsText.compare(0, 3, "\xEF\xBB\xBF") == 0, text.compare(0, 3, "\xEF\xBB\xBF") == 0)
          << name << " " << file;
    }
  }
}

}  // namespace
}  // namespace zep
