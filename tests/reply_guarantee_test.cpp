// Every command that reaches the module gets exactly one reply, even when
// any allocation along its way fails. This program replaces the global
// allocator so that a test can make allocations fail from a chosen one on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "module/entry_points.h"
#include "module/virtual_manager_client.h"
#include "replaced_allocator.h"
#include "test_support.h"

namespace {

enum class Failure { None, Once, FromThenOn };
thread_local Failure failure = Failure::None;
thread_local long allocationsLeft = 0;

}  // namespace

void BeforeAllocation() {
  if (failure == Failure::None) return;
  if (allocationsLeft == 0) {
    if (failure == Failure::Once) failure = Failure::None;
    throw std::bad_alloc();
  }
  --allocationsLeft;
}

namespace zep {
namespace {

// The host side records without allocating: it must not fail itself.
int calls = 0;
char lastReply[4096];

int32_t Record(uint32_t, uint64_t, const char* text, const void*, uint32_t, intptr_t) {
  ++calls;
  std::strncpy(lastReply, text, sizeof lastReply - 1);
  lastReply[sizeof lastReply - 1] = '\0';
  return 9;
}

// Sends the request with allocations failing from the n-th on (or at the n-th
// only); true once the request ran without meeting a failure. The reply is
// left in lastReply.
bool SendFailingAt(const char* url, const std::string& text, long n, Failure mode) {
  calls = 0;
  lastReply[0] = '\0';
  failure = mode;
  allocationsLeft = n;
  int32_t result = 0;
  try {
    result = zep::DistributeCommand(1, 2, 0, url, text.c_str(), nullptr, 0, 1, &Record, 0, "http://127.0.0.1", 0, 0, 0);
  } catch (...) {
    failure = Failure::None;
    ADD_FAILURE() << "an exception left DistributeCommand at allocation " << n;
    return true;
  }
  const bool untouched = failure != Failure::None && allocationsLeft > 0;
  failure = Failure::None;
  EXPECT_EQ(1, calls) << text.substr(0, 60) << " failing at allocation " << n;
  EXPECT_TRUE(result == 9 || result == 0) << result;
  return untouched;
}

TEST(ReplyGuarantee, EveryCommandGetsOneReplyWhateverAllocationFails) {
  test::InitializeModuleWith("[TK]\r\nLogLevel=1\r\n");
  VirtualManagerClient::Acquire();
  // One of each way in: a command, a settings write, an unknown command, text
  // too deep to parse, an upload and an unknown path.
  const std::vector<std::pair<const char*, std::string>> requests = {
      {"/zep/x", R"({"id":"1","cmdId":"k","method":"ChangePort"})"},
      {"/zep/x", R"({"id":"1","method":"SetServerInfo","parameter":["h",1,2,3,4]})"},
      {"/zep/x", R"({"id":"1","method":"NoSuchCommand","parameter":[{"a":[1,2]}]})"},
      {"/zep/x", std::string(1100, '[') + std::string(1100, ']')},
      {"/LoadZipFromBytes?type=2&tkver=16.2&x=1", ""},
      {"/nowhere", ""},
  };
  // The reply of a command that could not even build its error reply.
  const std::string fallback = R"({
   "description" : "Command failed.",
   "exception" : -1
}
)";
  bool sawFallback = false;
  for (const auto& [url, text] : requests) {
    for (Failure mode : {Failure::Once, Failure::FromThenOn}) {
      long n = 0;
      while (!SendFailingAt(url, text, n, mode) && n < 100000) {
        if (fallback == lastReply) sawFallback = true;
        // Every allocation of the command's own steps, then a sample of the
        // settings parser's many.
        n += n < 300 ? 1 : 13;
      }
      EXPECT_LT(n, 100000);
    }
  }
  EXPECT_TRUE(sawFallback);
}

}  // namespace
}  // namespace zep
