#include <gtest/gtest.h>

#include <memory>
#include <string>

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

TEST(Reply, SuccessWithoutParametersCarriesTheCmdId) {
  auto request = Make(R"({"id":"1","cmdId":"abc","method":"ChangePort"})");
  request->SetResult(true, 0, "");
  EXPECT_EQ("{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ]\n}\n",
            request->GetResultText());
  EXPECT_EQ(77, request->SendBack());
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"ChangePort\",\n   \"result\" : [ true ],\n\t\"cmdId\" : \"abc\"\n}\n",
      sent.text);
  EXPECT_EQ(9u, sent.handle);
  EXPECT_EQ(42u, sent.context);
}

TEST(Reply, EmptyCmdIdIsStillInserted) {
  auto request = Make(R"({"id":"1","method":"m"})");
  request->SetResult(true, 0, "");
  request->SendBack();
  EXPECT_EQ("{\n   \"id\" : \"1\",\n   \"method\" : \"m\",\n   \"result\" : [ true ],\n\t\"cmdId\" : \"\"\n}\n",
            sent.text);
}

TEST(Reply, DescriptionOnSuccessAddsTheModuleDescription) {
  auto request = Make(R"({"id":"1","method":"m"})");
  request->SetResult(true, 0, "D");
  EXPECT_EQ(
      "{\n   \"id\" : \"1\",\n   \"method\" : \"m\",\n   \"result\" : [ true, \"D\", \"Corvantis Service Manager "
      "Module\" ]\n}\n",
      request->GetResultText());
}

TEST(Reply, ErrorCarriesCodeDescriptionAndParameters) {
  auto request = Make(R"({"id":"1","method":"m","parameter":["P"]})");
  request->SetResult(false, kErrorInvalidParameterCount, Message(kMessageInvalidParameterCount));
  EXPECT_EQ(
      "{\n   \"description\" : \"Invalid parameter count.\",\n   \"exception\" : -2202,\n   \"id\" : \"1\",\n   "
      "\"method\" : \"m\",\n   \"result\" : [ \"P\", false ]\n}\n",
      request->GetResultText());
}

TEST(Reply, ValuesAccumulateAndTheLastOperationPicksTheKey) {
  auto request = Make(R"({"id":"1","method":"m"})");
  request->SetResult("a");
  request->SetResult("b");
  EXPECT_EQ("{\n   \"id\" : \"1\",\n   \"method\" : \"m\",\n   \"result\" : [ \"a\", \"b\" ]\n}\n",
            request->GetResultText());
  request->SetEventResult("c");
  EXPECT_EQ("{\n   \"event\" : \"m\",\n   \"id\" : \"1\",\n   \"result\" : [ \"a\", \"b\", \"c\" ]\n}\n",
            request->GetResultText());
}

TEST(Reply, JsonResultsAndEmptyEntries) {
  auto request = Make(R"({"id":"1","method":"m","parameter":{"x":1}})");
  request->SetResultJson("{\"qro\":{\"port\":1,\"sslPort\":2}}");
  EXPECT_EQ(
      "{\n   \"event\" : \"m\",\n   \"id\" : \"1\",\n   \"result\" : [\n      null,\n      {\n         \"qro\" : "
      "{\n            \"port\" : 1,\n            \"sslPort\" : 2\n         }\n      }\n   ]\n}\n",
      request->GetResultText());
  const std::string before = request->GetResultText();
  request->SetResultJson("{broken");
  EXPECT_EQ(before, request->GetResultText());
  EXPECT_EQ(2u, request->Values().size());
}

TEST(Reply, RawTextIsSentAsItStands) {
  auto request = Make(R"({"id":"1","cmdId":"c","method":"m"})");
  request->SetResult("x");
  request->SetResultText("{}");
  request->SendBack();
  EXPECT_EQ("{}", sent.text);
  request->SetResultText("");
  request->SendBack();
  EXPECT_EQ("", sent.text);
}

TEST(Reply, CmdIdIsEscapedSoTheReplyStaysJson) {
  const std::string nasty = "a\\\"b\n" + std::string(400, 'x');
  Json::Value command;
  command["id"] = "1";
  command["cmdId"] = nasty;
  command["method"] = "m";
  auto request = Make(Json::FastWriter().write(command));
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
