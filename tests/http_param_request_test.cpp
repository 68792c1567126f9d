#include "protocol/http_param_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace zep {
namespace {

std::unique_ptr<HttpParamRequest> Parse(const std::string& text) {
  return std::make_unique<HttpParamRequest>(HostRequest{1, 2, 1, nullptr, 0, "", 0, 0, 0}, text, nullptr, 0, nullptr);
}

TEST(HttpParamRequest, ReadsTheCommandMembers) {
  auto request = Parse(R"({"id":"7","cmdId":"c1","version":"v","method":"GetPorts","parameter":["key"]})");
  EXPECT_EQ("7", request->GetId());
  EXPECT_EQ("c1", request->GetCmdId());
  EXPECT_EQ("v", request->GetVersion());
  EXPECT_EQ("GetPorts", request->GetMethodName());
  EXPECT_EQ(kKindMethod, request->GetCommandKind());
  EXPECT_EQ(1, request->GetParameterCount());
  ASSERT_EQ(1u, request->Values().size());
  EXPECT_EQ(Json::Value("key"), *request->Values()[0]);
}

TEST(HttpParamRequest, MembersOfOtherTypesReadEmpty) {
  auto request = Parse(R"({"id":7,"cmdId":true,"method":["x"]})");
  EXPECT_EQ("", request->GetId());
  EXPECT_EQ("true", request->GetCmdId());
  EXPECT_EQ("", request->GetMethodName());
  EXPECT_EQ(kKindMethod, request->GetCommandKind());
}

TEST(HttpParamRequest, TheFirstKindKeyInByteOrderWins) {
  auto eventFirst = Parse(R"({"method":"B","event":"A"})");
  EXPECT_EQ(kKindEvent, eventFirst->GetCommandKind());
  EXPECT_EQ("A", eventFirst->GetMethodName());
  auto methodFirst = Parse(R"({"property":"P","method":"M"})");
  EXPECT_EQ(kKindMethod, methodFirst->GetCommandKind());
  EXPECT_EQ("M", methodFirst->GetMethodName());
  EXPECT_EQ(kKindProperty, Parse(R"({"property":"P"})")->GetCommandKind());
  EXPECT_EQ(kKindNone, Parse(R"({"Method":"M"})")->GetCommandKind());
}

TEST(HttpParamRequest, EveryArrayElementIsCopied) {
  auto request = Parse(R"({"method":"m","parameter":[-3,true,null,[1,2],{"a":1},2.5,"s",18446744073709551615]})");
  auto& values = request->Values();
  ASSERT_EQ(8u, values.size());
  EXPECT_TRUE(values[0]->isInt());
  EXPECT_TRUE(values[1]->isBool());
  EXPECT_TRUE(values[2]->isNull());
  EXPECT_TRUE(values[3]->isArray());
  EXPECT_TRUE(values[4]->isObject());
  EXPECT_EQ(Json::realValue, values[5]->type());
  EXPECT_TRUE(values[6]->isString());
  EXPECT_EQ(Json::uintValue, values[7]->type());
}

TEST(HttpParamRequest, ObjectParameterGivesEmptyEntries) {
  auto request = Parse(R"({"method":"m","parameter":{"a":1}})");
  EXPECT_EQ(1, request->GetParameterCount());
  ASSERT_EQ(1u, request->Values().size());
  EXPECT_EQ(nullptr, request->Values()[0]);
  EXPECT_EQ(0, Parse(R"({"method":"m","parameter":"text"})")->GetParameterCount());
}

TEST(HttpParamRequest, InvalidTextsGiveEmptyFields) {
  for (const char* text : {"[1,2]", "not json", "", "{\"method\":"}) {
    auto request = Parse(text);
    EXPECT_EQ(kKindNone, request->GetCommandKind()) << text;
    EXPECT_EQ("", request->GetMethodName());
    EXPECT_EQ("", request->GetId());
    EXPECT_TRUE(request->Values().empty());
  }
}

TEST(ParameterConversions, Integers) {
  int32_t value = 99;
  Json::Value zero("0"), abc("abc"), twelve("12abc"), real(2.9), negative(-2.9), padded("  -8");
  EXPECT_TRUE(GetParamAsInt(&zero, &value));
  EXPECT_EQ(0, value);
  EXPECT_FALSE(GetParamAsInt(&abc, &value));
  EXPECT_EQ(-1, value);
  EXPECT_TRUE(GetParamAsInt(&twelve, &value));
  EXPECT_EQ(12, value);
  EXPECT_TRUE(GetParamAsInt(&real, &value));
  EXPECT_EQ(2, value);
  EXPECT_TRUE(GetParamAsInt(&negative, &value));
  EXPECT_EQ(-2, value);
  EXPECT_TRUE(GetParamAsInt(&padded, &value));
  EXPECT_EQ(-8, value);
  Json::Value big(4294967295u), huge(1e300), flag(true), wide(static_cast<Json::Int64>(0x100000005LL));
  EXPECT_TRUE(GetParamAsInt(&big, &value));
  EXPECT_EQ(-1, value);
  EXPECT_TRUE(GetParamAsInt(&wide, &value));
  EXPECT_EQ(5, value);
  EXPECT_TRUE(GetParamAsInt(&huge, &value));
  EXPECT_EQ(2147483647, value);
  value = 3;
  EXPECT_FALSE(GetParamAsInt(&flag, &value));
  EXPECT_EQ(-1, value);
  value = 3;
  EXPECT_FALSE(GetParamAsInt(nullptr, &value));
  EXPECT_EQ(3, value);
  EXPECT_FALSE(GetParamAsInt(&zero, nullptr));
}

TEST(ParameterConversions, Texts) {
  std::string text = "untouched";
  Json::Value five(5), object(Json::objectValue), real(1.5), minus(-4), flag(false), array(Json::arrayValue);
  array.append(1);
  EXPECT_TRUE(GetParamAsString(&five, text));
  EXPECT_EQ("5", text);
  text = "untouched";
  EXPECT_FALSE(GetParamAsString(&object, text));
  EXPECT_EQ("untouched", text);
  EXPECT_FALSE(GetParamAsString(nullptr, text));
  EXPECT_TRUE(ValueToText(&real, text));
  EXPECT_EQ("1.500000", text);
  EXPECT_TRUE(ValueToText(&minus, text));
  EXPECT_EQ("-4", text);
  EXPECT_TRUE(ValueToText(&flag, text));
  EXPECT_EQ("false", text);
  EXPECT_TRUE(ValueToText(&array, text));
  EXPECT_EQ("[ 1 ]\n", text);
  Json::Value withNul(std::string("ab\0cd", 5));
  EXPECT_TRUE(GetParamAsString(&withNul, text));
  EXPECT_EQ("ab", text);
  Json::Value null, large(Json::UInt(4000000000u));
  EXPECT_TRUE(ValueToText(&null, text));
  EXPECT_EQ("null\n", text);
  EXPECT_TRUE(ValueToText(&large, text));
  EXPECT_EQ("4000000000", text);  // as unsigned, not as a negative int
  text = "cleared";
  EXPECT_FALSE(ValueToText(&object, text));
  EXPECT_EQ("", text);
}

// JsonCpp throws for a text nested beyond its depth limit: such a command
// reads as one that does not parse.
TEST(CommandFields, ATextTheParserRefusesByThrowingDoesNotParse) {
  const std::string deep =
      "{\"id\":\"7\",\"method\":\"GetPorts\",\"parameter\":[" + std::string(5000, '[') + std::string(5000, ']') + "]}";
  HttpParamRequest request(HostRequest{1, 0, 1, nullptr, 0, "", 0, 0, 0}, deep, nullptr, 0, nullptr);
  EXPECT_EQ("", request.GetId());
  EXPECT_EQ("", request.GetMethodName());
  EXPECT_EQ(3u, request.GetCommandKind());
  EXPECT_TRUE(request.Values().empty());
  request.SetResultJson(std::string(5000, '[') + std::string(5000, ']'));
  EXPECT_EQ("", request.GetResultText());  // refused: nothing appended, nothing written
}

TEST(ParameterConversions, HugeRealsAreRefusedNotCut) {
  Json::Value huge(1e300);
  std::string text = "kept";
  EXPECT_FALSE(ValueToText(&huge, text));
  EXPECT_EQ("kept", text);
}

}  // namespace
}  // namespace zep
