// A command through DistributeCommand against the bare JsonCpp work of the
// same command (one parse, one StyledWriter rendering of the reply), with a
// realistic TKConfiguration.ini, logging off and on.
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <fstream>
#include <string>

#include "module/entry_points.h"
#include "platform/file_system.h"
#include "settings/settings_store.h"

namespace {

const char* const kCommand = "{\"id\":\"1\",\"cmdId\":\"c1\",\"method\":\"TKVersion\"}";

std::string Folder() {
  const std::string path = zep::platform::ModuleFilePath();
  return path.substr(0, path.rfind(zep::platform::kPathSeparator) + 1);
}

void Configure(int logLevel) {
  std::ofstream(Folder() + "TKConfiguration.ini", std::ios::binary | std::ios::trunc)
      << "[TK]\r\nLogLevel=" << logLevel
      << "\r\nTKVersion=16.2.6.1212\r\nServer=127.0.0.1\r\nPort_mn_0=qro\r\nPort_mp_0=18622\r\nPort_mn_1=zep\r\n"
         "Port_mp_1=18625\r\nPort=2\r\nSSLPort_mn_0=qro\r\nSSLPort_mp_0=18623\r\nSSLPort_mn_1=zep\r\n"
         "SSLPort_mp_1=18626\r\nSSLPort=2\r\n";
  zep::DoAction(0, nullptr, nullptr);
}

int32_t Drop(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) { return text[0]; }

void CommandLoggingOff(benchmark::State& state) {
  Configure(1);
  for (auto _ : state)
    benchmark::DoNotOptimize(zep::DistributeCommand(1, 0, 0, "/zep/x", kCommand, nullptr, 0, 1, &Drop, 0, "", 0, 0, 0));
}

// Every line of the command is written (LogLevel 14 read while running, not fixed).
void CommandLoggingOn(benchmark::State& state) {
  Configure(14);
  for (auto _ : state)
    benchmark::DoNotOptimize(zep::DistributeCommand(1, 0, 0, "/zep/x", kCommand, nullptr, 0, 1, &Drop, 0, "", 0, 0, 0));
  state.counters["lines"] = 8;
  Configure(1);
}

// The anchor: what JsonCpp alone does for this command.
void BareJsonCpp(benchmark::State& state) {
  for (auto _ : state) {
    Json::Value root;
    Json::Reader reader;
    reader.parse(kCommand, root, false);
    Json::Value reply(Json::objectValue);
    reply["id"] = root["id"];
    reply["method"] = root["method"];
    reply["result"].append("16.2.6.1212");
    reply["result"].append("Corvantis Service");
    Json::StyledWriter writer;
    benchmark::DoNotOptimize(writer.write(reply));
  }
}

BENCHMARK(BareJsonCpp);
BENCHMARK(CommandLoggingOff);
BENCHMARK(CommandLoggingOn);

}  // namespace
