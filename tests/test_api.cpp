// SPDX-License-Identifier: MIT
/*
 * The JSON envelope: whole reply texts, byte for byte, for the versions
 * method and every error reply that the envelope gives itself.
 */
#include <gtest/gtest.h>

#include <ostream>

#include <cstdlib>
#include <string>

#include "api.h"
#include "log.h"
#include "log_capture.h"
#include "reply.h"

namespace {

std::string reply_to(const std::string& text) {
  char* reply = handle_request(text.c_str());
  EXPECT_NE(reply, nullptr);
  std::string out = reply ? reply : "";
  std::free(reply);
  return out;
}

/* An error reply as jansson writes it with two spaces of indentation. */
std::string error_reply(const std::string& version, const char* context,
                        const std::string& method, int code, const std::string& message) {
  std::string out = "{\n  \"apiVersion\": \"" + version + "\",\n";
  if (context) out += "  \"context\": \"" + std::string(context) + "\",\n";
  out += "  \"method\": \"" + method + "\",\n  \"error\": {\n    \"code\": " +
         std::to_string(code) + ",\n    \"message\": \"" + message + "\"\n  }\n}";
  return out;
}

const char kVersionsWithContext[] =
    "{\n"
    "  \"context\": \"abc\",\n"
    "  \"method\": \"getSupportedVersions\",\n"
    "  \"data\": {\n"
    "    \"apiVersions\": [\n"
    "      \"1.0\"\n"
    "    ]\n"
    "  }\n"
    "}";

const char kVersionsWithoutContext[] =
    "{\n"
    "  \"method\": \"getSupportedVersions\",\n"
    "  \"data\": {\n"
    "    \"apiVersions\": [\n"
    "      \"1.0\"\n"
    "    ]\n"
    "  }\n"
    "}";

struct EnvelopeCase {
  const char* name;
  std::string request;
  std::string expected;
};

/* Test names show the case name, not the bytes of the record. */
void PrintTo(const EnvelopeCase& c, std::ostream* os) { *os << c.name; }

class Envelope : public ::testing::TestWithParam<EnvelopeCase> {};

TEST_P(Envelope, ReplyIsExact) {
  EXPECT_EQ(reply_to(GetParam().request), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Envelope,
    ::testing::Values(
        EnvelopeCase{"VersionsWithVersionAndContext",
                     R"({"apiVersion":"1.0","context":"abc","method":"getSupportedVersions"})",
                     kVersionsWithContext},
        EnvelopeCase{"VersionsWithoutVersion", R"({"method":"getSupportedVersions"})",
                     kVersionsWithoutContext},
        EnvelopeCase{"VersionsWithOtherVersion",
                     R"({"apiVersion":"7","context":"abc","method":"getSupportedVersions"})",
                     kVersionsWithContext},
        EnvelopeCase{"EmptyText", "", error_reply("1.0", nullptr, "unknown", 1004, "invalid request")},
        EnvelopeCase{"NotJson", "hello", error_reply("1.0", nullptr, "unknown", 1004, "invalid request")},
        EnvelopeCase{"BareString", R"("get")", error_reply("1.0", nullptr, "unknown", 1004, "invalid request")},
        EnvelopeCase{"BareNumber", "12", error_reply("1.0", nullptr, "unknown", 1004, "invalid request")},
        EnvelopeCase{"UnterminatedObject", R"({"method":"get")",
                     error_reply("1.0", nullptr, "unknown", 1004, "invalid request")},
        EnvelopeCase{"TopLevelArray", R"(["method","get"])",
                     error_reply("1.0", nullptr, "unknown", 1003, "invalid argument")},
        EnvelopeCase{"NoMethodEchoesOtherVersion", R"({"apiVersion":"2.0","context":"c"})",
                     error_reply("2.0", "c", "unknown", 1003, "invalid argument")},
        EnvelopeCase{"MethodNotString", R"({"apiVersion":"1.0","method":5})",
                     error_reply("1.0", nullptr, "unknown", 1003, "invalid argument")},
        EnvelopeCase{"NoVersion", R"({"method":"get","context":"c"})",
                     error_reply("1.0", "c", "get", 1003, "invalid argument")},
        EnvelopeCase{"VersionAsNumber", R"({"apiVersion":1.0,"method":"set"})",
                     error_reply("1.0", nullptr, "set", 1003, "invalid argument")},
        EnvelopeCase{"VersionWithExtraZero", R"({"apiVersion":"1.00","method":"get"})",
                     error_reply("1.00", nullptr, "get", 1001, "incorrect protocol version")},
        EnvelopeCase{"VersionWithSpace", R"({"apiVersion":"1.0 ","method":"set"})",
                     error_reply("1.0 ", nullptr, "set", 1001, "incorrect protocol version")},
        EnvelopeCase{"VersionCheckedForUnknownMethod", R"({"apiVersion":"2.0","method":"reboot"})",
                     error_reply("2.0", nullptr, "reboot", 1001, "incorrect protocol version")},
        EnvelopeCase{"MethodInOtherCase", R"({"apiVersion":"1.0","method":"Get"})",
                     error_reply("1.0", nullptr, "Get", 1002, "unknown method")},
        EnvelopeCase{"EmptyMethod", R"({"apiVersion":"1.0","method":""})",
                     error_reply("1.0", nullptr, "", 1002, "unknown method")},
        EnvelopeCase{"ContextNotStringLeftOut", R"({"apiVersion":"1.0","method":"x","context":{"a":1}})",
                     error_reply("1.0", nullptr, "x", 1002, "unknown method")},
        EnvelopeCase{"EmptyContextEchoed", R"({"apiVersion":"1.0","method":"x","context":""})",
                     error_reply("1.0", "", "x", 1002, "unknown method")},
        EnvelopeCase{"TrailingObjectIgnored",
                     R"({"method":"getSupportedVersions","context":"abc"}{"method":"get"})",
                     kVersionsWithContext},
        EnvelopeCase{"TrailingBytesIgnored",
                     "  {\"method\":\"getSupportedVersions\"}\r\n\x01garbage",
                     kVersionsWithoutContext}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorMessages, EveryCodeHasItsText) {
  EXPECT_STREQ(error_message_for_code(1000), "internal error");
  EXPECT_STREQ(error_message_for_code(1001), "incorrect protocol version");
  EXPECT_STREQ(error_message_for_code(1002), "unknown method");
  EXPECT_STREQ(error_message_for_code(1003), "invalid argument");
  EXPECT_STREQ(error_message_for_code(1004), "invalid request");
  EXPECT_STREQ(error_message_for_code(999), "");
  EXPECT_STREQ(error_message_for_code(-1), "");
}

TEST(RequestTrace, LoggedForVersionedRequestsOnlyWithDebug) {
  LogCapture log;
  reply_to(R"({"apiVersion":"1.0","method":"reboot"})");
  EXPECT_TRUE(log.texts().empty());

  debug_enabled = true;
  reply_to(R"({"apiVersion":"1.0","method":"reboot","context":"ctx"})");
  reply_to(R"({"apiVersion":"1.0","method":"reboot"})");
  reply_to(R"({"method":"getSupportedVersions"})");
  reply_to(R"({"apiVersion":"2.0","method":"get"})");
  debug_enabled = false;
  auto traces = log.texts_at(G_LOG_LEVEL_INFO);
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0], "->reboot: ver: 1.0, context:ctx");
  EXPECT_EQ(traces[1], "->reboot: ver: 1.0, context:(null)");
}

}  // namespace
