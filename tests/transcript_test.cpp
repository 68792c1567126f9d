// Runs the transcripts of tests/transcripts: commands handed to
// DistributeCommand, each with the whole reply and the log lines it must
// write. The format, a line at a time:
//   == name            starts a case: the module comes up with "ini:" lines
//                      given before its first command, else [TK] LogLevel=14
//   ini: text          a line of TKConfiguration.ini, written before the next command
//   origin: text       the page's origin, "none" for none (several: the command runs
//                      once for each); it holds for the rest of the case
//   url: / client: unsupported / handle: n    for the next command only
//   > text             a command (several in a row: each gets what follows)
//   < text             a line of the reply; "<= text" the whole reply, no line end;
//                      "<< json" the whole reply as pages get it: the members
//                      written by JsonCpp's styled writer, then the cmdId line
//   noreply            the host is not called (with neither, any one reply will do)
//   log: text          a line the command writes, from its level tag on, in order
//   nolog: text        no line written holds this
//   file: name = text  the module folder's file holds exactly this text
// In every text, {xHH} is that byte and {N*c} N copies of c; in log lines,
// {n} is any number. A line of the reply that starts with a tab is written
// with one.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "command_host.h"
#include "test_support.h"

namespace zep {
namespace {

std::string Decode(const std::string& text) {
  static const std::regex escape(R"(\{x([0-9a-fA-F]{2})\}|\{([0-9]+)\*(.)\})");
  std::string out;
  auto at = text.cbegin();
  for (std::sregex_iterator it(text.begin(), text.end(), escape), end; it != end; ++it) {
    out.append(at, (*it)[0].first);
    const std::smatch& m = *it;
    out += m[1].matched ? std::string(1, static_cast<char>(std::stoi(m[1].str(), nullptr, 16)))
                        : std::string(std::stoul(m[2].str()), m[3].str()[0]);
    at = m[0].second;
  }
  return out.append(at, text.cend());
}

// A log line as a pattern: literal text, with {n} for a number.
std::regex LogPattern(const std::string& line) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  std::string pattern;
  size_t at = 0;
  for (size_t n; (n = line.find("{n}", at)) != std::string::npos; at = n + 3)
    pattern += std::regex_replace(line.substr(at, n - at), special, "\\$&") + "-?[0-9]+";
  return std::regex(pattern + std::regex_replace(line.substr(at), special, "\\$&"));
}

// The lines of the log, each from its level tag on (after the process and time fields).
std::vector<std::string> LogLines(const std::string& log) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = log.substr(at, end - at);
    const size_t time = line.find("] [");
    const size_t tag = time == std::string::npos ? time : line.find("] ", time + 3);
    lines.push_back(tag == std::string::npos ? line : line.substr(tag + 2));
  }
  return lines;
}

struct Step {
  std::vector<std::string> commands, origins, logs, nologs, ini;
  std::string reply, url = "/zep/cmd";
  bool replied = true, supported = true, ownOrigins = false, replyGiven = false;
  uint32_t handle = 3;
  std::vector<std::pair<std::string, std::string>> files;
  int line = 0;
};

struct Case {
  std::string name, where;
  std::vector<Step> steps;
};

std::vector<Case> ReadTranscript(const std::filesystem::path& path) {
  std::vector<Case> cases;
  std::ifstream file(path, std::ios::binary);
  Step step;
  bool answered = false;  // the step has its outcome: a new command starts the next one
  int number = 0;
  const auto finish = [&] {
    if (!step.commands.empty() && !cases.empty()) cases.back().steps.push_back(step);
    step = Step{};
    if (!cases.empty() && !cases.back().steps.empty()) step.origins = cases.back().steps.back().origins;
    answered = false;
  };
  for (std::string line; std::getline(file, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto is = [&line](const char* head) { return line.rfind(head, 0) == 0; };
    const std::string rest = line.substr(std::min(line.size(), line.find(' ') + 1));
    if (line.empty() || is("#")) continue;
    if (is("== ")) {
      finish();
      step.origins.clear();
      cases.push_back(Case{line.substr(3), path.filename().string() + ":" + std::to_string(number), {}});
    } else if (is("> ")) {
      if (answered) finish();
      step.commands.push_back(Decode(rest));
      step.line = number;
    } else {
      if (!step.commands.empty()) answered = true;
      if (is("<")) step.replyGiven = true;
      if (!step.commands.empty() && (is("ini: ") || is("origin: ") || is("url: ") || is("client: ") || is("handle: ")))
        finish();
      if (is("ini:"))
        step.ini.push_back(Decode(line.size() > 5 ? line.substr(5) : ""));
      else if (is("origin: ")) {
        if (!step.ownOrigins) step.origins.clear();
        step.ownOrigins = true;
        step.origins.push_back(rest == "none" ? "" : rest);
      } else if (is("url: "))
        step.url = Decode(rest);
      else if (is("client: "))
        step.supported = rest != "unsupported";
      else if (is("handle: "))
        step.handle = static_cast<uint32_t>(std::stoul(rest));
      else if (is("<= "))
        step.reply += Decode(rest);
      else if (is("<< "))
        step.reply += test::Styled(Decode(rest));
      else if (is("<"))
        step.reply += Decode(line.size() > 2 ? line.substr(2) : "") + "\n";
      else if (line == "noreply")
        step.replied = false;
      else if (is("log: "))
        step.logs.push_back(Decode(rest));
      else if (is("nolog: "))
        step.nologs.push_back(Decode(rest));
      else if (is("file: ")) {
        const size_t equals = rest.find(" = ");
        step.files.emplace_back(rest.substr(0, equals), Decode(rest.substr(equals + 3)));
      } else
        ADD_FAILURE() << path << ":" << number << ": not a transcript line: " << line;
    }
  }
  finish();
  return cases;
}

std::string IniText(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

void RunStep(const Case& c, const Step& step) {
  if (!step.ini.empty()) test::SetConfigurationText(IniText(step.ini));
  const std::vector<std::string> origins =
      step.origins.empty() ? std::vector<std::string>{test::kLocalOrigin} : step.origins;
  for (const std::string& origin : origins)
    for (const std::string& command : step.commands) {
      SCOPED_TRACE(c.where + " (" + c.name + "), line " + std::to_string(step.line) + ", origin " + origin);
      test::TakeLog();
      test::HostCalls().clear();
      test::Distribute(step.url, command, origin, step.supported ? 1 : 0, 0, step.handle);
      const std::string expected = step.replied ? step.reply : std::string();
      std::string actual;
      for (const test::HostCall& call : test::HostCalls()) {
        actual += call.text;
        EXPECT_EQ(step.handle, call.handle);  // on the caller's connection, with its context
        EXPECT_EQ(0x1122334455667788ULL, call.context);
      }
      EXPECT_EQ(step.replied ? 1u : 0u, test::HostCalls().size()) << "replies: " << actual;
      if (step.replyGiven || !step.replied) {
        EXPECT_EQ(expected, actual) << "the reply to " << command;
      }
      const std::vector<std::string> written = LogLines(test::TakeLog());
      size_t next = 0;
      for (const std::string& wanted : step.logs) {
        const std::regex pattern = LogPattern(wanted);
        while (next < written.size() && !std::regex_match(written[next], pattern)) ++next;
        if (next == written.size()) {
          std::string all;
          for (const std::string& line : written) all += line + "\n";
          ADD_FAILURE() << "no log line (in order)\n  " << wanted << "\namong those written:\n" << all;
          break;
        }
        ++next;
      }
      for (const std::string& unwanted : step.nologs)
        for (const std::string& line : written) EXPECT_EQ(std::string::npos, line.find(unwanted)) << line;
      for (const auto& [name, text] : step.files)
        EXPECT_EQ(text, test::ReadFileText(test::ModuleDirectory() + name)) << name;
    }
}

TEST(Transcripts, EveryCaseGetsItsRepliesAndLogLines) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(ZEP_TRANSCRIPTS))
    if (entry.path().extension() == ".txt") files.push_back(entry.path());
  ASSERT_FALSE(files.empty()) << ZEP_TRANSCRIPTS;
  std::sort(files.begin(), files.end());
  for (const auto& path : files)
    for (const Case& c : ReadTranscript(path)) {
      const bool ownIni = !c.steps.empty() && !c.steps[0].ini.empty();
      test::InitializeModuleWith(ownIni ? IniText(c.steps[0].ini) : "[TK]\r\nLogLevel=14\r\n");
      for (const Step& step : c.steps) RunStep(c, step);
    }
}

}  // namespace
}  // namespace zep
