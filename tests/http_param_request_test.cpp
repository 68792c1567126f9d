#include "protocol/http_param_request.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>

namespace zep {
namespace {

std::unique_ptr<HttpParamRequest> Parse(const std::string& text) {
  return std::make_unique<HttpParamRequest>(HostRequest{1, 2, 1, nullptr, 0, "", 0, 0, 0}, text, nullptr, 0, nullptr);
}

// Members of other types read empty, but for a boolean's text.
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
  request = Parse(R"({"id":7,"cmdId":true,"method":["x"]})");
  EXPECT_EQ("", request->GetId());
  EXPECT_EQ("true", request->GetCmdId());
  EXPECT_EQ("", request->GetMethodName());
  EXPECT_EQ(kKindMethod, request->GetCommandKind());
}

TEST(HttpParamRequest, TheFirstKindKeyInByteOrderWins) {
  const std::tuple<const char*, uint32_t, const char*> cases[] = {
      {R"({"method":"B","event":"A"})", kKindEvent, "A"},
      {R"({"property":"P","method":"M"})", kKindMethod, "M"},
      {R"({"property":"P"})", kKindProperty, "P"},
      {R"({"Method":"M"})", kKindNone, ""}};
  for (const auto& [text, kind, name] : cases) {
    EXPECT_EQ(kind, Parse(text)->GetCommandKind()) << text;
    EXPECT_EQ(name, Parse(text)->GetMethodName()) << text;
  }
}

// Every array element is copied; a "parameter" object counts its members as
// empty entries, and any other value counts none.
TEST(HttpParamRequest, Parameters) {
  auto request = Parse(R"({"method":"m","parameter":[-3,true,null,[1,2],{"a":1},2.5,"s",18446744073709551615]})");
  const Json::ValueType types[] = {Json::intValue,    Json::booleanValue, Json::nullValue,   Json::arrayValue,
                                   Json::objectValue, Json::realValue,    Json::stringValue, Json::uintValue};
  ASSERT_EQ(8u, request->Values().size());
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(types[i], request->Values()[i]->type()) << i;
  request = Parse(R"({"method":"m","parameter":{"a":1}})");
  EXPECT_EQ(1, request->GetParameterCount());
  ASSERT_EQ(1u, request->Values().size());
  EXPECT_EQ(nullptr, request->Values()[0]);
  EXPECT_EQ(0, Parse(R"({"method":"m","parameter":"text"})")->GetParameterCount());
}

// JsonCpp throws for a text nested beyond its depth limit: such a command
// reads as one that does not parse, and such a result is refused.
TEST(HttpParamRequest, InvalidTextsGiveEmptyFields) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  for (const std::string& text :
       {std::string("[1,2]"), std::string("not json"), std::string(), std::string("{\"method\":"),
        R"({"id":"7","method":"GetPorts","parameter":[)" + deep + "]}"}) {
    auto request = Parse(text);
    EXPECT_EQ(kKindNone, request->GetCommandKind()) << text;
    EXPECT_EQ("", request->GetMethodName());
    EXPECT_EQ("", request->GetId());
    EXPECT_TRUE(request->Values().empty());
  }
  auto request = Parse("{}");
  request->SetResultJson(deep);
  EXPECT_EQ("", request->GetResultText());  // nothing appended, nothing written
}

// Up to 32 levels and 64 KiB a command parses; one more of either, and it
// does not. Brackets inside a string (after an escaped quote too) or a
// comment are text.
TEST(HttpParamRequest, TextsOverTheBoundsDoNotParse) {
  const auto nested = [](int levels) {  // the root object and the parameter list are two of them
    return R"({"method":"m","parameter":[/*"*/ //]]]]]]]])"
           "\n" +
           std::string(levels - 2, '[') + std::string(levels - 2, ']') + "]}";
  };
  const auto sized = [](size_t bytes) {
    std::string text = R"({"method":"m","parameter":["\")" + std::string(40, '[') + R"("]})";
    return text.insert(text.size() - 2, bytes - text.size(), ' ');
  };
  EXPECT_EQ("m", Parse(nested(32))->GetMethodName());
  EXPECT_EQ("", Parse(nested(33))->GetMethodName());
  EXPECT_EQ("m", Parse(sized(64 * 1024))->GetMethodName());
  EXPECT_EQ("", Parse(sized(64 * 1024 + 1))->GetMethodName());
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

}  // namespace
}  // namespace zep
