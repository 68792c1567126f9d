#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "command_host.h"
#include "protocol/http_param_request.h"
#include "protocol/messages.h"

namespace zep {
namespace {

struct Sent {
  int calls = 0;
  std::string text;
  uint32_t handle = 0;
  uint64_t context = 0;
} sent;

int32_t Capture(SendBackCallback, uint32_t handle, uint64_t context, const char* text, const void*, uint32_t,
                intptr_t) {
  ++sent.calls;
  sent.text = text;
  sent.handle = handle;
  sent.context = context;
  return 77;
}

int32_t Host(uint32_t, uint64_t, const char*, const void*, uint32_t, intptr_t) { return 0; }

std::unique_ptr<HttpParamRequest> Make(const std::string& text, uint32_t handle = 9) {
  sent = Sent{};
  return std::make_unique<HttpParamRequest>(HostRequest{handle, 42, 1, &Host, 0, "", 0, 0, 0}, text, nullptr, 0,
                                            &Capture);
}

// The cmdId line goes in when the reply is sent, also for an empty cmdId.
TEST(Reply, SuccessCarriesTheCmdIdWhenSent) {
  for (const char* cmdId : {"abc", ""}) {
    auto request = Make(std::string(R"({"id":"1","cmdId":")") + cmdId + R"(","method":"ChangePort"})");
    request->SetResult(true, 0, "");
    EXPECT_EQ(test::Reply("1", "ChangePort", "[ true ]", nullptr), request->GetResultText());
    EXPECT_EQ(77, request->SendBack());
    EXPECT_EQ(test::Reply("1", "ChangePort", "[ true ]", cmdId), sent.text);
    EXPECT_EQ(9u, sent.handle);
    EXPECT_EQ(42u, sent.context);
  }
}

TEST(Reply, ResultsAndTheirKey) {
  auto request = Make(R"({"id":"1","method":"m"})");
  request->SetResult(true, 0, "D");  // a description on success adds the module's
  EXPECT_EQ(test::Reply("1", "m", R"([ true, "D", "Corvantis Service Manager Module" ])", nullptr),
            request->GetResultText());
  request = Make(R"({"id":"1","method":"m","parameter":["P"]})");
  request->SetResult(false, kErrorInvalidParameterCount, Message(kMessageInvalidParameterCount));
  EXPECT_EQ(test::Failure("1", "m", -2202, "Invalid parameter count.", R"([ "P", false ])", nullptr),
            request->GetResultText());
  // Values accumulate and the last operation picks the key.
  request = Make(R"({"id":"1","method":"m"})");
  request->SetResult("a");
  request->SetResult("b");
  EXPECT_EQ(test::Reply("1", "m", R"([ "a", "b" ])", nullptr), request->GetResultText());
  request->SetEventResult("c");
  EXPECT_EQ(test::EventReply("1", "m", R"([ "a", "b", "c" ])", nullptr), request->GetResultText());
}

TEST(Reply, JsonResultsAndEmptyEntries) {
  auto request = Make(R"({"id":"1","method":"m","parameter":{"x":1}})");
  request->SetResultJson(R"({"qro":{"port":1,"sslPort":2}})");
  const std::string styled = R"({
   "event" : "m",
   "id" : "1",
   "result" : [
      null,
      {
         "qro" : {
            "port" : 1,
            "sslPort" : 2
         }
      }
   ]
}
)";
  EXPECT_EQ(styled, request->GetResultText());
  request->SetResultJson("{broken");
  EXPECT_EQ(styled, request->GetResultText());
  EXPECT_EQ(2u, request->Values().size());
}

TEST(Reply, RawTextIsSentAsItStands) {
  auto request = Make(R"({"id":"1","cmdId":"c","method":"m"})");
  request->SetResult("x");
  for (const char* text : {"{}", ""}) {
    request->SetResultText(text);
    request->SendBack();
    EXPECT_EQ(text, sent.text);
  }
}

TEST(Reply, CmdIdIsEscapedSoTheReplyStaysJson) {
  const std::string nasty = "a\\\"b\n" + std::string(400, 'x');
  auto request = Make(R"({"id":"1","method":"m","cmdId":"a\\\"b\n)" + std::string(400, 'x') + "\"}");
  request->SetResult(true, 0, "");
  request->SendBack();
  Json::Value parsed;
  ASSERT_TRUE(Json::Reader().parse(sent.text, parsed)) << sent.text;
  EXPECT_EQ(nasty, parsed["cmdId"].asString());
  EXPECT_EQ("m", parsed["method"].asString());
}

TEST(Reply, NoHandleSendsNothing) {
  auto request = Make(R"({"id":"1","method":"m"})", 0);
  request->SetResult(true, 0, "");
  EXPECT_EQ(0, request->SendBack());
  EXPECT_EQ(0, sent.calls);
}

}  // namespace
}  // namespace zep
