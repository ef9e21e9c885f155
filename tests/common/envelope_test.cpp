#include "common/envelope.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/utf8.hpp"

namespace velno {
namespace {

// Takes the host text over: its content, checked to be one NUL-terminated JSON text.
std::string from_host(char* p) {
  EXPECT_NE(p, nullptr);
  std::string s(p);
  std::free(p);
  EXPECT_TRUE(nlohmann::json::accept(s)) << s;
  return s;
}

TEST(EnvelopeTest, SuccessShapesByPayload) {
  const auto tree = nlohmann::json::parse(
      R"({"seed":null,"publicKey":"GJ1S","id":"8wK","publicDID":false,"metadata":null})");
  const std::pair<std::string, std::string> rows[] = {
      {serialize_envelope(DidResult<void>()), R"({"code":"OK"})"},
      {serialize_envelope(DidResult<NoPayload>(NoPayload{})), R"({"code":"OK"})"},
      {serialize_envelope(DidResult<nlohmann::json>(nlohmann::json())), R"({"code":"OK"})"},
      {serialize_envelope(DidResult<bool>(true)), R"({"code":"OK","value":true})"},
      {serialize_envelope(DidResult<bool>(false)), R"({"code":"OK","value":false})"},
      {serialize_envelope(DidResult<std::string>(std::string("c2ln"))), R"({"code":"OK","value":"c2ln"})"},
      {serialize_envelope(DidResult<std::string>(std::string())), R"({"code":"OK","value":""})"},
      {serialize_envelope(DidResult<nlohmann::json>(tree)),
       R"({"code":"OK","value":{"id":"8wK","metadata":null,"publicDID":false,"publicKey":"GJ1S","seed":null}})"},
      {serialize_envelope(DidResult<nlohmann::json>(nlohmann::json::array())), R"({"code":"OK","value":[]})"},
      {serialize_envelope(DidResult<nlohmann::json>(nlohmann::json{{"handle", 100005u}})),
       R"({"code":"OK","value":{"handle":100005}})"},
      {serialize_envelope(DidResult<DidResultCodeDescription>(describe_error_code("IO"))),
       R"({"code":"OK","value":{"code":"IO","description":"An IO Error Occurred"}})"},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(EnvelopeTest, ValueOrErrorPayloadKeepsOkAsOuterCode) {
  using Payload = DidResult<std::string>;
  EXPECT_EQ(serialize_envelope(DidResult<Payload>(Payload(std::string("data")))),
            R"({"code":"OK","value":{"Ok":"data"}})");
  EXPECT_EQ(serialize_envelope(DidResult<Payload>(
                Payload(DidError::with_static_message(DidErrorKind::RecordNotFound, "no \"key\"")))),
            R"({"code":"OK","value":{"Err":{"code":"RecordNotFound","msg":"no \"key\""}}})");
}

TEST(EnvelopeTest, FailureCarriesKindNameAndRawMessage) {
  EXPECT_EQ(serialize_envelope(DidResult<bool>(
                DidError::with_static_message(DidErrorKind::InvalidState, "Agent with handle not found."))),
            R"({"code":"InvalidState","value":"Agent with handle not found."})");
  EXPECT_EQ(serialize_envelope(DidResult<nlohmann::json>(DidError::with_message(DidErrorKind::IO, ""))),
            R"({"code":"IO","value":""})");
  EXPECT_EQ(from_host(static_error_to_host_json(DidErrorKind::InvalidParameter, "Invalid Parameter for alias")),
            R"({"code":"InvalidParameter","value":"Invalid Parameter for alias"})");
  EXPECT_EQ(from_host(result_to_host_json(DidResult<void>())), R"({"code":"OK"})");
}

TEST(EnvelopeTest, MessagesAreEscapedAndRepairedIntoValidJson) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> rows[] = {
      {"q\"b\\l\nt\t\x01\x1F/\xC3\xA9\x7F", "q\\\"b\\\\l\\nt\\t\\u0001\\u001f/\xC3\xA9\x7F"},
      {std::string("nul\0in", 6), "nul\\u0000in"},
      {"bad \xFF\xFE utf8 \xE2\x82", "bad " + r + r + " utf8 " + r},
  };
  for (const auto& [message, escaped] : rows) {
    const std::string got = from_host(error_to_host_json(DidErrorKind::JsonProcessing, message));
    EXPECT_EQ(got, "{\"code\":\"JsonProcessing\",\"value\":\"" + escaped + "\"}");
    std::string repaired;
    append_utf8_repaired(repaired, message);
    EXPECT_EQ(nlohmann::json::parse(got).at("value").get<std::string>(), repaired);
  }
}

TEST(EnvelopeTest, HostTextIsTheEnvelopeAndOneNul) {
  const std::string envelope = serialize_envelope(DidResult<std::string>(std::string("x")));
  char* p = envelope_to_host(envelope);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, envelope.data(), envelope.size()), 0);
  EXPECT_EQ(p[envelope.size()], '\0');
  EXPECT_EQ(std::strlen(p), envelope.size());
  std::free(p);
}

}  // namespace
}  // namespace velno
