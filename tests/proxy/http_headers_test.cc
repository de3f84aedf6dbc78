#include "proxy/http_headers.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace cvie::proxy {
namespace {

std::string Names(const HeaderList& headers) {
  std::string out;
  for (const Header& h : headers) out += (out.empty() ? "" : ",") + h.name;
  return out;
}

struct HopCase {
  const char* name;
  HeaderList input;
  const char* kept;  // names left, in order
};

const HopCase kHopCases[] = {
    {"every hop-by-hop header goes",
     {{"Connection", "keep-alive"},
      {"Keep-Alive", "300"},
      {"Proxy-Connection", "keep-alive"},
      {"Proxy-Authenticate", "Basic"},
      {"Proxy-Authorization", "Basic eA=="},
      {"TE", "trailers"},
      {"Trailer", "X"},
      {"Transfer-Encoding", "chunked"},
      {"Upgrade", "websocket"},
      {"Accept", "*/*"}},
     "Accept"},
    {"names are compared without case",
     {{"connection", "close"}, {"TRANSFER-ENCODING", "chunked"}, {"Cookie", "a=b"}},
     "Cookie"},
    {"headers named in Connection go too",
     {{"Connection", "X-Private, close"}, {"X-Private", "1"}, {"X-Public", "2"}},
     "X-Public"},
    {"headers named in Proxy-Connection go too",
     {{"Proxy-Connection", "x-hop"}, {"X-Hop", "1"}, {"Host", "a"}},
     "Host"},
    {"order and duplicates of the rest are kept",
     {{"Set-Cookie", "a=1"},
      {"Upgrade", "h2c"},
      {"Set-Cookie", "b=2"},
      {"Vary", "Accept"}},
     "Set-Cookie,Set-Cookie,Vary"},
    {"a Connection list with empty items and spaces",
     {{"Connection", " , x-a ,,x-b "}, {"X-A", "1"}, {"X-B", "2"}, {"X-C", "3"}},
     "X-C"},
};

TEST(HttpHeaders, RemovesHopByHopHeaders) {
  for (const HopCase& c : kHopCases) {
    HeaderList headers = c.input;
    RemoveHopByHopHeaders(&headers);
    EXPECT_EQ(Names(headers), c.kept) << c.name;
  }
}

TEST(HttpHeaders, ValuesThatCouldSplitAHeaderAreInvalid) {
  struct Case {
    std::string text;
    bool name_ok;
    bool value_ok;
  } cases[] = {
      {"X-Token", true, true},
      {"", false, true},
      {"Bad Name", false, true},
      {"Bad:Name", false, true},
      {"a\r\nSet-Cookie: x", false, false},
      {"a\nb", false, false},
      {std::string("a\0b", 3), false, false},
      {"value with spaces, commas; and \"quotes\"", false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidHeaderName(c.text), c.name_ok) << c.text;
    EXPECT_EQ(IsValidHeaderValue(c.text), c.value_ok) << c.text;
  }
}

TEST(HttpHeaders, FindsHeadersAndTokensWithoutCase) {
  HeaderList headers = {{"Content-Type", "text/html"}, {"content-type", "ignored"}};
  ASSERT_NE(FindHeader(headers, "CONTENT-TYPE"), nullptr);
  EXPECT_EQ(*FindHeader(headers, "CONTENT-TYPE"), "text/html");
  EXPECT_EQ(FindHeader(headers, "Content-Length"), nullptr);
  EXPECT_TRUE(HeaderHasToken("Keep-Alive, Upgrade", "upgrade"));
  EXPECT_FALSE(HeaderHasToken("keep-alive-ish", "keep-alive"));
}

TEST(HttpHeaders, OnlyAFinalSingleChunkedCodingIsRead) {
  struct Case {
    std::vector<std::string> values;  // one Transfer-Encoding field each
    unsigned version;
    int status;
  } cases[] = {
      {{}, 11, 0},
      {{"chunked"}, 11, 0},
      {{"Chunked"}, 11, 0},
      {{" chunked\t"}, 11, 0},
      {{"chunked"}, 10, 400},
      {{"xchunked"}, 11, 400},
      {{"chunked, identity"}, 11, 400},
      {{"chunked", "identity"}, 11, 400},
      {{"identity"}, 11, 400},
      {{""}, 11, 400},
      {{" , "}, 11, 400},
      {{"chunked, chunked"}, 11, 400},
      {{"chunked", "chunked"}, 11, 400},
      {{"gzip, chunked"}, 11, 501},
      {{"gzip", "chunked"}, 11, 501},
  };
  for (const Case& c : cases) {
    HeaderList headers = {{"Host", "a"}};
    std::string shown;
    for (const std::string& v : c.values) {
      headers.push_back({"Transfer-Encoding", v});
      shown += "[" + v + "]";
    }
    EXPECT_EQ(TransferCodingStatus(c.version, headers), c.status)
        << shown << " HTTP/" << c.version;
  }
}

}  // namespace
}  // namespace cvie::proxy
