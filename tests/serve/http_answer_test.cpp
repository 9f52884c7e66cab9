// The HTTP side's own decisions: which Authorization headers carry the key,
// and what each request gets (serve/http_answer.h).
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "serve/http_answer.h"

namespace {

std::string Get(const serve::StatusSnapshot& status, const char* target) {
  serve::HttpQuestion q;
  q.method = "GET";
  q.method_bytes = 3;
  q.target = target;
  q.target_bytes = std::strlen(target);
  serve::HttpAnswer answer;
  serve::AnswerRequest(q, nullptr, 0, status, &answer);
  EXPECT_EQ(answer.status, 200) << target;
  return answer.body;
}

bool Accepted(const char* header, const char* key = "s3cret:key") {
  return serve::KeyAccepted(header, header == nullptr ? 0 : std::strlen(header), key,
                            std::strlen(key));
}

TEST(HttpKey, OnlyTheKeyItselfIsAccepted) {
  struct Case {
    const char* header;
    bool accepted;
  } cases[] = {
      {"Bearer s3cret:key", true},
      {"bearer s3cret:key", true},
      {"  Bearer s3cret:key  ", true},
      {"Bearer s3cret:ke", false},
      {"Bearer s3cret:keyy", false},
      {"Bearer ", false},
      {"Bearer", false},
      {"Bearers3cret:key", false},
      // base64 of "scraper:s3cret:key": the user name is any, the key after
      // the first colon whole (a key may hold colons).
      {"Basic c2NyYXBlcjpzM2NyZXQ6a2V5", true},
      {"BASIC c2NyYXBlcjpzM2NyZXQ6a2V5", true},
      {"Basic OnMzY3JldDprZXk=", true},               // ":s3cret:key"
      {"Basic czNjcmV0OmtleQ==", false},              // "s3cret:key": the key as user
      {"Basic c2NyYXBlcjpzM2NyZXQ6a2V", false},       // cut short
      {"Basic c2NyYXBlcjpzM2NyZXQ6a2V5=", false},     // not a whole quad
      {"Basic c2NyYXBl=cjpzM2NyZXQ6a2V5", false},     // padding inside
      {"Basic c2NyYXBlcjpzM2NyZXQ6a2V5!!!!", false},  // not base64
      {"Basic ", false},
      {"Digest s3cret:key", false},
      {"s3cret:key", false},
      {"", false},
      {nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Accepted(c.header), c.accepted) << (c.header ? c.header : "(none)");
  }
  // A header far longer than any key's form is refused, not decoded.
  const std::string long_header = "Bearer " + std::string(5000, 'k');
  EXPECT_FALSE(Accepted(long_header.c_str(), long_header.c_str() + 7));
}

TEST(HttpAnswer, RoutesMethodsAndTheKeyFirst) {
  serve::StatusSnapshot status;
  status.samples = 123456;
  status.reader_count = 1;
  status.readers[0].number = 7;
  std::strcpy(status.readers[0].peer, "127.0.0.1:5\"\\\n");
  status.source.known = true;
  status.source.kind = SCANMON_SOURCE_CAPTURE;
  status.source.header.sample_period_us = 5;
  std::strcpy(status.source.header.cal_file, "C:\\cal\"1\".cal");
  struct Case {
    const char* method;
    const char* target;
    const char* authorization;
    bool with_key;
    int status;
    const char* body_holds;  // nullptr: an empty body
  } cases[] = {
      {"GET", "/metrics", nullptr, false, 200, "scanmon_samples_total 123456\n"},
      {"GET", "/metrics?x=1", nullptr, false, 200,
       "scanmon_reader_blocks_sent_total{reader=\"7\"}"},
      {"GET", "/status.json", nullptr, false, 200, "\"peer\":\"127.0.0.1:5\\\"\\\\\\u000a\""},
      {"GET", "/status.json", nullptr, false, 200, "\"source\":{\"kind\":\"capture\""},
      {"GET", "/status.json", nullptr, false, 200, "\"cal_file\":\"C:\\\\cal\\\"1\\\".cal\"}}"},
      {"HEAD", "/metrics", nullptr, false, 200, nullptr},
      {"GET", "/metrics/", nullptr, false, 404, "not here"},
      {"GET", "/", nullptr, false, 200, "<title>scanmon-serve</title>"},
      {"GET", "/page.js?v=1", nullptr, false, 200, "status.json"},
      {"GET", "/page.js/", nullptr, false, 404, "not here"},
      {"GET", "/", nullptr, true, 401, "wants its key"},
      {"POST", "/metrics", nullptr, false, 405, "GET and HEAD"},
      {"get", "/metrics", nullptr, false, 405, "GET and HEAD"},
      {"GET", "/metrics", nullptr, true, 401, "wants its key"},
      {"GET", "/nowhere", nullptr, true, 401, "wants its key"},
      {"GET", "/metrics", "Bearer nope", true, 401, "wants its key"},
      {"GET", "/metrics", "Bearer k", true, 200, "scanmon_samples_total"},
      {"POST", "/metrics", "Bearer k", true, 405, "GET and HEAD"},
  };
  for (const Case& c : cases) {
    serve::HttpQuestion q;
    q.method = c.method;
    q.method_bytes = std::strlen(c.method);
    q.target = c.target;
    q.target_bytes = std::strlen(c.target);
    q.authorization = c.authorization;
    q.authorization_bytes = c.authorization ? std::strlen(c.authorization) : 0;
    serve::HttpAnswer answer;
    answer.body = "junk";
    serve::AnswerRequest(q, c.with_key ? "k" : nullptr, 1, status, &answer);
    const std::string what = std::string(c.method) + " " + c.target;
    EXPECT_EQ(answer.status, c.status) << what;
    EXPECT_EQ(answer.ask_key, c.status == 401) << what;
    if (c.body_holds == nullptr) {
      EXPECT_TRUE(answer.body.empty()) << what;
    } else {
      EXPECT_NE(answer.body.find(c.body_holds), std::string::npos) << what << ":\n" << answer.body;
    }
  }
}

// The histories' points by number: only those asked for and still kept (the
// ring has wrapped), none for a query that is not a plain number.
TEST(HttpAnswer, HistoriesFromTheNumberAsked) {
  static serve::StatusSnapshot status;
  status.rates.total = serve::kRateHistory + 5;  // points 0..4 overwritten
  for (std::uint64_t n = 5; n < status.rates.total; ++n) {
    serve::RatePoint& p = status.rates.points[n % serve::kRateHistory];
    p.t_s = static_cast<double>(n);
    p.rate_hz = 20.0f;
    p.flags = 0;
  }
  status.events.total = 2;
  status.events.points[0] = {1.5, 300, serve::EventKind::kLostData};
  status.events.points[1] = {2.5, 40, serve::EventKind::kDropped};
  const std::string last = "[4100.000,20,0]]";
  struct Case {
    const char* target;
    const char* holds;
    const char* lacks;
  } cases[] = {
      {"/status.json", "\"rates_next\":4101,\"rates\":[],\"events_next\":2,\"events\":[]", nullptr},
      {"/status.json?rates=0", "\"rates\":[[5.000,20,0],[6.000", "[4.000"},
      {"/status.json?rates=4099", "\"rates\":[[4099.000,20,0],[4100.000,20,0]]", nullptr},
      {"/status.json?rates=4101", "\"rates\":[]", nullptr},
      {"/status.json?rates=99999999999999999999", "\"rates\":[]", nullptr},  // 20 digits
      {"/status.json?rates=1x", "\"rates\":[]", nullptr},
      {"/status.json?rates=", "\"rates\":[]", nullptr},
      {"/status.json?xrates=4099", "\"rates\":[]", nullptr},
      {"/status.json?events=1&rates=4100",
       "\"rates\":[[4100.000,20,0]],\"events_next\":2,"
       "\"events\":[[2.500,\"dropped\",40]]",
       nullptr},
      {"/status.json?rates=4100&events=0", "\"events\":[[1.500,\"lost\",300],[2.500", nullptr},
  };
  for (const Case& c : cases) {
    const std::string body = Get(status, c.target);
    EXPECT_NE(body.find(c.holds), std::string::npos) << c.target << ":\n" << body.substr(0, 600);
    if (c.lacks != nullptr) {
      EXPECT_EQ(body.find(c.lacks), std::string::npos) << c.target;
    }
  }
}

// The latest revolution: with a range, a point whose range is no number is
// null (JSON has no NaN); without one, angle and time alone.
TEST(HttpAnswer, LatestRevolution) {
  static serve::StatusSnapshot status;
  EXPECT_EQ(Get(status, "/revolution.json"), "{\"known\":false}\n");
  serve::LatestRevolution& l = status.latest;
  l.known = true;
  l.number = 9;
  l.count = 10000;
  l.rate_hz = 20;
  l.points = 2;
  l.time_s[0] = 0;
  l.angle[0] = 0.5f;
  l.range[0] = 300;
  l.time_s[1] = 0.025f;
  l.angle[1] = 3.25f;
  l.range[1] = std::numeric_limits<float>::quiet_NaN();
  l.has_range = true;
  std::strcpy(l.range_unit, "in");
  EXPECT_NE(Get(status, "/revolution.json")
                .find("\"range_unit\":\"in\",\"points\":[[0,0.5,300],[25,3.25,null]]}"),
            std::string::npos);
  l.has_range = false;
  EXPECT_NE(
      Get(status, "/revolution.json").find("\"range_unit\":null,\"points\":[[0,0.5],[25,3.25]]}"),
      std::string::npos);
}

}  // namespace
