#include "serve/start_request.h"

#include <gtest/gtest.h>

namespace quillmor_speech {
namespace {

struct StartCase {
  std::string payload;
  std::optional<StartRequest> expected;
};

std::optional<StartRequest> request(std::string locale, std::optional<double> rate = {},
                                    std::optional<bool> install = {}) {
  return StartRequest{std::move(locale), rate, install};
}

TEST(StartRequest, DecodingTable) {
  const std::vector<StartCase> cases = {
      {R"({"locale":"zh-CN"})", request("zh-CN")},
      {R"({"locale":"en-US","sampleRate":16000})", request("en-US", 16000.0)},
      {R"({"locale":"en-US","sampleRate":44100.5})", request("en-US", 44100.5)},
      {R"({"locale":"en-US","sampleRate":4.8e4})", request("en-US", 48000.0)},
      {R"({"locale":"en-US","sampleRate":-3})", request("en-US", -3.0)},
      {R"({"locale":"en-US","sampleRate":0})", request("en-US", 0.0)},
      {R"({"locale":"x","sampleRate":null,"install":null})", request("x")},
      {R"({"locale":"x","install":false})", request("x", {}, false)},
      {R"({"locale":"x","install":true,"sampleRate":8000})", request("x", 8000.0, true)},
      {R"({"locale":"","extra":{"a":[1,2,{"b":null}]},"n":1,"s":"t"})", request("")},
      {R"(  {"locale":"语言"}  )", request("语言")},
      {R"({"Locale":"zh-CN"})", std::nullopt},
      {R"({"locale":null})", std::nullopt},
      {R"({"locale":5})", std::nullopt},
      {R"({"locale":["zh-CN"]})", std::nullopt},
      {R"({"locale":"x","sampleRate":"16000"})", std::nullopt},
      {R"({"locale":"x","sampleRate":true})", std::nullopt},
      {R"({"locale":"x","sampleRate":{}})", std::nullopt},
      {R"({"locale":"x","install":1})", std::nullopt},
      {R"({"locale":"x","install":"true"})", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {R"(["locale","x"])", std::nullopt},
      {R"("zh-CN")", std::nullopt},
      {"true", std::nullopt},
      {"42", std::nullopt},
      {"null", std::nullopt},
      {R"({"locale":"x"} {})", std::nullopt},
      {R"({"locale":"x")", std::nullopt},
      {"{\"locale\":\"\xff\"}", std::nullopt},
      // A field name met inside an ignored value is not the field.
      {R"({"locale":"x","deep":[[{"locale":"no","sampleRate":"bad"}]],"install":true})",
       request("x", {}, true)},
      {R"({"install":{"locale":"x"}})", std::nullopt},
  };
  for (const StartCase& c : cases) {
    std::optional<StartRequest> got = decodeStartRequest(Bytes(c.payload.begin(), c.payload.end()));
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.payload;
    if (!got) continue;
    EXPECT_EQ(got->locale, c.expected->locale) << c.payload;
    EXPECT_EQ(got->sampleRate, c.expected->sampleRate) << c.payload;
    EXPECT_EQ(got->install, c.expected->install) << c.payload;
  }
}

// Deep values under ignored keys, in arrays and objects, around the fields that are read.
std::string deepArray(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}
std::string deepObject(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += R"({"k":)";
  return text + "null" + std::string(depth, '}');
}

TEST(StartRequest, DeepValuesUnderIgnoredKeysAreSkippedAtAnyDepth) {
  const std::vector<StartCase> cases = {
      {R"({"locale":"x","deep":)" + deepArray(64) + "}", request("x")},
      {R"({"locale":"x","deep":)" + deepArray(65) + "}", request("x")},
      {R"({"deep":)" + deepArray(100000) + R"(,"locale":"y","sampleRate":8000})",
       request("y", 8000.0)},
      {R"({"locale":"x","deep":)" + deepArray(10000000) + R"(,"install":false})",
       request("x", {}, false)},
      {R"({"a":)" + deepObject(200000) + R"(,"locale":"z","b":[)" + deepObject(1000) + "]}",
       request("z")},
      // Deep but broken JSON still fails, all or nothing.
      {R"({"locale":"x","deep":)" + deepArray(100000).substr(0, 150000) + "}", std::nullopt},
      {R"({"locale":"x","deep":)" + deepArray(100000) + "]}", std::nullopt},
      {R"({"locale":)" + deepArray(100000) + "}", std::nullopt},
      {deepArray(100000), std::nullopt},
  };
  for (const StartCase& c : cases) {
    std::optional<StartRequest> got = decodeStartRequest(Bytes(c.payload.begin(), c.payload.end()));
    const std::string label =
        c.payload.substr(0, 40) + "… (" + std::to_string(c.payload.size()) + " bytes)";
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << label;
    if (!got) continue;
    EXPECT_EQ(got->locale, c.expected->locale) << label;
    EXPECT_EQ(got->sampleRate, c.expected->sampleRate) << label;
    EXPECT_EQ(got->install, c.expected->install) << label;
  }
}

}  // namespace
}  // namespace quillmor_speech
