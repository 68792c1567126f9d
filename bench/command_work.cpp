#include "command_work.h"

#include <json/json.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "module/entry_points.h"
#include "platform/file_system.h"

namespace bench {

namespace {

const char* const kCommand = "{\"id\":\"1\",\"cmdId\":\"c1\",\"method\":\"TKVersion\"}";

int32_t Drop(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) { return text[0]; }

}  // namespace

std::string SettingsFile() {
  const std::string path = zep::platform::ModuleFilePath();
  return path.substr(0, path.rfind(zep::platform::kPathSeparator) + 1) + "TKConfiguration.ini";
}

int32_t Command() { return zep::DistributeCommand(1, 0, 0, "/zep/x", kCommand, nullptr, 0, 1, &Drop, 0, "", 0, 0, 0); }

namespace {

void WriteSettings(int logLevel) {
  std::ofstream(SettingsFile(), std::ios::binary | std::ios::trunc)
      << "[TK]\r\nLogLevel=" << logLevel
      << "\r\nTKVersion=16.2.6.1212\r\nServer=127.0.0.1\r\nPort_mn_0=qro\r\nPort_mp_0=18622\r\nPort_mn_1=zep\r\n"
         "Port_mp_1=18625\r\nPort=2\r\nSSLPort_mn_0=qro\r\nSSLPort_mp_0=18623\r\nSSLPort_mn_1=zep\r\n"
         "SSLPort_mp_1=18626\r\nSSLPort=2\r\n";
}

}  // namespace

// Writes the settings and waits until the module trusts what it reads from
// them: it reads a freshly written file again at every look (once a
// millisecond) until the file's stamp has stood 50 ms since it first saw it.
// The figures are those of commands, not of that settling.
void Configure(int logLevel) {
  // A module whose first call finds every log level on keeps them on for the
  // process: its first call here finds LogLevel=1, whichever benchmark runs first.
  [[maybe_unused]] static const bool started = (WriteSettings(1), zep::DoAction(0, nullptr, nullptr), true);
  WriteSettings(logLevel);
  zep::DoAction(0, nullptr, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  Command();  // sees the new stamp
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  Command();  // finds it settled
}

// The anchor: what JsonCpp alone does for this command.
size_t BareWork() {
  Json::Value root;
  Json::Reader reader;
  reader.parse(kCommand, root, false);
  Json::Value reply(Json::objectValue);
  reply["id"] = root["id"];
  reply["method"] = root["method"];
  reply["result"].append("16.2.6.1212");
  reply["result"].append("Corvantis Service");
  Json::StyledWriter writer;
  return writer.write(reply).size();
}

}  // namespace bench
