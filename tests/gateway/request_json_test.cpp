// The JSON requests of the gateway's MQTT and web clients: what reaches the bus, what is refused
// and in which words, and the answer in varno's own JSON.
#include "request_json.h"

#include <gtest/gtest.h>

#include <string>

namespace varno::gw {
namespace {

std::string fault(const std::string& text) {
  Request request;
  return parseRequestText(text, request, {"id", "reply_to"});
}

TEST(RequestJson, EachFormOfTheDataWordAndTheDefaults) {
  Request request;
  ASSERT_EQ(parseRequestText(R"({"dest": 5, "code": 3, "data": "D7 00 00 01"})", request), "");
  EXPECT_EQ(request.command.dest, 5);
  EXPECT_EQ(request.command.code, 3);
  EXPECT_EQ(request.command.source, 31);
  EXPECT_EQ(request.command.param, 0);
  EXPECT_EQ(request.write_timeout_ms, 0u);  // the bus's own
  EXPECT_EQ(request.command.data[0], 0xD7);
  EXPECT_EQ(request.command.data[3], 0x01);

  ASSERT_EQ(parseRequestText(R"({"dest": 1, "code": 2, "data": "d7000001"})", request), "");
  EXPECT_EQ(request.command.data[0], 0xD7);
  ASSERT_EQ(parseRequestText(R"({"dest": 1, "code": 2, "uint": 4294967295, "source": 0,
                                  "param": 255, "write_timeout_ms": 7, "reply_timeout_ms": 9})",
                             request),
            "");
  EXPECT_EQ(varnoDataToUInt(request.command.data), 0xFFFFFFFFu);
  EXPECT_EQ(request.command.source, 0);
  EXPECT_EQ(request.command.param, 255);
  EXPECT_EQ(request.write_timeout_ms, 7u);
  EXPECT_EQ(request.reply_timeout_ms, 9u);
  ASSERT_EQ(parseRequestText(R"({"dest": 1, "code": 2, "value": -21.5, "decimals": 1})", request),
            "");
  EXPECT_FLOAT_EQ(varnoDataToFloat(request.command.data), -21.5f);
  EXPECT_EQ(request.command.data[3], 1);
}

TEST(RequestJson, EveryFaultIsNamed) {
  EXPECT_EQ(fault("{\"dest\": 5,"), "the request is not valid JSON");
  EXPECT_EQ(fault("[5, 3]"), "the request must be a JSON object");
  EXPECT_EQ(fault(R"({"code": 3})"), "\"dest\" is missing");
  EXPECT_EQ(fault(R"({"dest": 128, "code": 3})"), "\"dest\" must be 0..127, not 128");
  EXPECT_EQ(fault(R"({"dest": -1, "code": 3})"), "\"dest\" must be 0..127, not -1");
  EXPECT_EQ(fault(R"({"dest": 5.0, "code": 3})"), "\"dest\" must be an integer");
  EXPECT_EQ(fault(R"({"dest": true, "code": 3})"), "\"dest\" must be an integer");
  EXPECT_EQ(fault(R"({"dest": 5, "code": "3"})"), "\"code\" must be an integer");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "uint": 18446744073709551615})"),
            "\"uint\" must be 0..4294967295, not 18446744073709551615");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "reply_timeout_ms": 0})"),
            "\"reply_timeout_ms\" must be 1..2147483647, not 0");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "dset": 1})"), "unknown key \"dset\"");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "data": "D7 00 00"})"),
            "\"data\" must be four bytes in hex, as \"D7 00 00 01\"");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "data": "D7 000 00 01"})"),
            "\"data\" must be four bytes in hex, as \"D7 00 00 01\"");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "data": "00 00 00 01", "uint": 1})"),
            "give at most one of \"data\", \"uint\" and \"value\"");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "uint": 1, "decimals": 1})"),
            "\"decimals\" goes with \"value\" only");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "value": 9000000})"),
            "\"value\" 9000000 does not fit a data word with 0 decimal(s)");
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "value": 1, "decimals": 4})"),
            "\"decimals\" must be 0..3, not 4");
  // The transport's own keys pass only when the caller names them.
  EXPECT_EQ(fault(R"({"dest": 5, "code": 3, "id": "a", "reply_to": "x/y"})"), "");
  Request request;
  EXPECT_EQ(parseRequestText(R"({"dest": 5, "code": 3, "id": 1})", request), "unknown key \"id\"");
}

TEST(RequestJson, AnswerIsVarnosTransactionJson) {
  Completion reply;
  reply.outcome = VARNO_REPLY;
  reply.frame.dest = 31;
  reply.frame.source = 5;
  reply.frame.code = 3;
  varnoFloatToData(21.5f, 1, reply.frame.data);
  const auto answer = answerJson(reply, 1.23456);
  EXPECT_EQ(answer["outcome"], 0);
  EXPECT_EQ(answer["outcome_text"], "reply");
  EXPECT_EQ(answer["round_trip_ms"], 1.235);
  EXPECT_EQ(answer["reply"]["source"], 5);
  EXPECT_EQ(answer["reply"]["data"]["decimal"], 21.5);
  EXPECT_EQ(answer["reply"]["data"]["bytes"], "D7 00 00 01");

  Completion late;
  late.outcome = VARNO_E_QUEUE_TIMEOUT;
  const auto refused = answerJson(late, 1000);
  EXPECT_TRUE(refused["reply"].is_null());
  EXPECT_EQ(refused["outcome_text"], varnoErrorText(VARNO_E_QUEUE_TIMEOUT));
  EXPECT_EQ(errorJson("unknown key \"x\"").dump(), R"({"error":"unknown key \"x\""})");
}

}  // namespace
}  // namespace varno::gw
