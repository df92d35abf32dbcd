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

TEST(StartRequest, DeepNestingIsRefusedWithoutCrashing) {
  for (std::size_t depth : {100u, 100000u}) {
    std::string payload =
        R"({"locale":"x","deep":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_FALSE(decodeStartRequest(Bytes(payload.begin(), payload.end()))) << depth;
  }
  std::string shallow = R"({"locale":"x","deep":[[[[{"a":[1]}]]]]})";
  EXPECT_TRUE(decodeStartRequest(Bytes(shallow.begin(), shallow.end())));
}

}  // namespace
}  // namespace quillmor_speech
