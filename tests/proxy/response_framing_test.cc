#include "proxy/response_framing.h"

#include <gtest/gtest.h>

namespace cvie::proxy {
namespace {

struct FramingCase {
  const char* name;
  RequestTraits request;
  int status;
  HeaderList headers;
  bool allow_keep_alive;
  BodyFraming framing;
  uint64_t length;
  bool keep_alive;
  const char* connection;  // the Connection header sent, "" for none
};

const RequestTraits kHttp11{false, 11, true};
const RequestTraits kHttp11Close{false, 11, false};
const RequestTraits kHttp10{false, 10, false};
const RequestTraits kHttp10Keep{false, 10, true};
const RequestTraits kHead11{true, 11, true};

const FramingCase kCases[] = {
    {"length given",
     kHttp11,
     200,
     {{"Content-Length", "5"}},
     true,
     BodyFraming::kLength,
     5,
     true,
     ""},
    {"no length, HTTP/1.1: chunked",
     kHttp11,
     200,
     {},
     true,
     BodyFraming::kChunked,
     0,
     true,
     ""},
    {"no length, HTTP/1.0: until close",
     kHttp10Keep,
     200,
     {},
     true,
     BodyFraming::kUntilClose,
     0,
     false,
     "close"},
    {"HTTP/1.0 keep-alive with length",
     kHttp10Keep,
     200,
     {{"Content-Length", "0"}},
     true,
     BodyFraming::kLength,
     0,
     true,
     "keep-alive"},
    {"HTTP/1.0 without keep-alive",
     kHttp10,
     200,
     {{"Content-Length", "3"}},
     true,
     BodyFraming::kLength,
     3,
     false,
     "close"},
    {"client asked to close",
     kHttp11Close,
     200,
     {{"Content-Length", "3"}},
     true,
     BodyFraming::kLength,
     3,
     false,
     "close"},
    {"server stopping",
     kHttp11,
     200,
     {{"Content-Length", "3"}},
     false,
     BodyFraming::kLength,
     3,
     false,
     "close"},
    {"HEAD keeps the length but sends no body",
     kHead11,
     200,
     {{"Content-Length", "42"}},
     true,
     BodyFraming::kNone,
     0,
     true,
     ""},
    {"HEAD without length is not chunked",
     kHead11,
     200,
     {},
     true,
     BodyFraming::kNone,
     0,
     true,
     ""},
    {"204 has no body", kHttp11, 204, {}, true, BodyFraming::kNone, 0, true, ""},
    {"304 has no body",
     kHttp11,
     304,
     {{"Content-Length", "10"}},
     true,
     BodyFraming::kNone,
     0,
     true,
     ""},
    {"handler's chunked coding is replaced",
     kHttp11,
     200,
     {{"Transfer-Encoding", "chunked"}},
     true,
     BodyFraming::kChunked,
     0,
     true,
     ""},
    {"conflicting lengths are not trusted",
     kHttp11,
     200,
     {{"Content-Length", "5"}, {"Content-Length", "6"}},
     true,
     BodyFraming::kChunked,
     0,
     true,
     ""},
    {"equal duplicate lengths are fine",
     kHttp11,
     200,
     {{"Content-Length", "5"}, {"Content-Length", "5"}},
     true,
     BodyFraming::kLength,
     5,
     true,
     ""},
    {"a length that is not a number",
     kHttp10Keep,
     200,
     {{"Content-Length", "-1"}},
     true,
     BodyFraming::kUntilClose,
     0,
     false,
     "close"},
};

TEST(ResponseFraming, ChoosesFramingAndKeepAlive) {
  for (const FramingCase& c : kCases) {
    ResponsePlan plan;
    ASSERT_TRUE(
        PlanResponse(c.request, c.status, "", c.headers, c.allow_keep_alive, &plan))
        << c.name;
    EXPECT_EQ(plan.framing, c.framing) << c.name;
    EXPECT_EQ(plan.content_length, c.length) << c.name;
    EXPECT_EQ(plan.keep_alive, c.keep_alive) << c.name;
    bool has_connection = plan.head.find("\r\nConnection: ") != std::string::npos;
    EXPECT_EQ(has_connection, c.connection[0] != 0) << c.name << "\n" << plan.head;
    if (c.connection[0]) {
      EXPECT_NE(plan.head.find(std::string("\r\nConnection: ") + c.connection + "\r\n"),
                std::string::npos)
          << c.name << "\n"
          << plan.head;
    }
    bool has_chunked = plan.head.find("Transfer-Encoding: chunked") != std::string::npos;
    EXPECT_EQ(has_chunked, c.framing == BodyFraming::kChunked) << c.name;
  }
}

TEST(ResponseFraming, WritesStatusLineAndCleanHeaders) {
  ResponsePlan plan;
  HeaderList headers = {{"Content-Type", "text/html"},
                        {"Connection", "X-Secret"},
                        {"X-Secret", "1"},
                        {"Keep-Alive", "timeout=5"},
                        {"Set-Cookie", "a=1"},
                        {"Set-Cookie", "b=2"},
                        {"X-Injected", "x\r\nSet-Cookie: evil=1"},
                        {"Bad Name", "1"},
                        {"Content-Length", "2"}};
  ASSERT_TRUE(PlanResponse(kHttp11, 404, "", headers, true, &plan));
  EXPECT_EQ(plan.head,
            "HTTP/1.1 404 Not Found\r\n"
            "Content-Type: text/html\r\n"
            "Set-Cookie: a=1\r\n"
            "Set-Cookie: b=2\r\n"
            "Content-Length: 2\r\n"
            "\r\n");
}

TEST(ResponseFraming, KeepsTheHandlersReasonUnlessItIsUnsafe) {
  ResponsePlan plan;
  ASSERT_TRUE(
      PlanResponse(kHttp11, 200, "Fine Thanks", {{"Content-Length", "0"}}, true, &plan));
  EXPECT_EQ(plan.head.substr(0, plan.head.find("\r\n")), "HTTP/1.1 200 Fine Thanks");
  ASSERT_TRUE(
      PlanResponse(kHttp11, 200, "A\r\nB", {{"Content-Length", "0"}}, true, &plan));
  EXPECT_EQ(plan.head.substr(0, plan.head.find("\r\n")), "HTTP/1.1 200 OK");
}

TEST(ResponseFraming, RefusesInformationalAndOutOfRangeStatuses) {
  for (int status : {0, 100, 101, 199, 1000, -5}) {
    ResponsePlan plan;
    EXPECT_FALSE(PlanResponse(kHttp11, status, "", {}, true, &plan)) << status;
  }
}

TEST(ResponseFraming, ReadsWhetherTheClientKeepsTheConnection) {
  struct Case {
    int version;
    HeaderList headers;
    bool keep;
  } cases[] = {
      {11, {}, true},
      {11, {{"Connection", "close"}}, false},
      {11, {{"Proxy-Connection", "Close"}}, false},
      {10, {}, false},
      {10, {{"Connection", "Keep-Alive"}}, true},
      {10, {{"Proxy-Connection", "keep-alive"}}, true},
      {10, {{"Connection", "keep-alive, close"}}, false},
  };
  for (const auto& c : cases) {
    std::string label = std::to_string(c.version);
    for (const Header& h : c.headers) label += " " + h.name + ": " + h.value;
    EXPECT_EQ(ClientWantsKeepAlive(c.version, c.headers), c.keep) << label;
  }
}

TEST(ResponseFraming, SimpleResponsesAreComplete) {
  EXPECT_EQ(SimpleResponse(400, "Malformed.\n", true),
            "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: 11\r\nConnection: close\r\n\r\nMalformed.\n");
}

}  // namespace
}  // namespace cvie::proxy
