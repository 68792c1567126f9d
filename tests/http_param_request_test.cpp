#include "protocol/http_param_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

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
  struct Case {
    Json::Value value;
    bool ok;
    int32_t expected;
  };
  const Case cases[] = {{"0", true, 0},
                        {"abc", false, -1},
                        {"12abc", true, 12},
                        {2.9, true, 2},
                        {-2.9, true, -2},
                        {"  -8", true, -8},
                        {4294967295u, true, -1},
                        {static_cast<Json::Int64>(0x100000005LL), true, 5},
                        {1e300, true, 2147483647},
                        {true, false, -1}};
  for (const Case& c : cases) {
    int32_t value = 3;
    EXPECT_EQ(c.ok, GetParamAsInt(&c.value, &value)) << c.value;
    EXPECT_EQ(c.expected, value) << c.value;
  }
  int32_t value = 3;
  EXPECT_FALSE(GetParamAsInt(nullptr, &value));
  EXPECT_EQ(3, value);
  EXPECT_FALSE(GetParamAsInt(&cases[0].value, nullptr));
}

TEST(ParameterConversions, Texts) {
  Json::Value array(Json::arrayValue), object(Json::objectValue), withNul(std::string("ab\0cd", 5));
  array.append(1);
  // ValueToText; a refused value (huge reals are refused, not cut) leaves the text as it was.
  const std::pair<Json::Value, const char*> texts[] = {{1.5, "1.500000"},
                                                       {-4, "-4"},
                                                       {false, "false"},
                                                       {array, "[ 1 ]\n"},
                                                       {Json::Value(), "null\n"},
                                                       {Json::UInt(4000000000u), "4000000000"},
                                                       {1e300, "kept"}};
  for (const auto& t : texts) {
    std::string text = "kept";
    EXPECT_EQ(t.second != std::string("kept"), ValueToText(&t.first, text)) << t.first;
    EXPECT_EQ(t.second, text);
  }
  std::string text = "cleared";
  EXPECT_FALSE(ValueToText(&object, text));
  EXPECT_EQ("", text);
  text = "untouched";
  EXPECT_FALSE(GetParamAsString(&object, text));
  EXPECT_FALSE(GetParamAsString(nullptr, text));
  EXPECT_EQ("untouched", text);
  Json::Value five(5);
  EXPECT_TRUE(GetParamAsString(&five, text));
  EXPECT_EQ("5", text);
  EXPECT_TRUE(GetParamAsString(&withNul, text));
  EXPECT_EQ("ab", text);
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

}  // namespace
}  // namespace zep
