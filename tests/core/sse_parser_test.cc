#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "norvale/nv_stream.h"

namespace {

struct Event {
  std::string name;
  std::string data;
  bool operator==(const Event&) const = default;
};

struct Sink {
  std::vector<Event> events;
  int result = 0;
};

int collect(const char* event, const char* data, size_t len, void* user) {
  auto* sink = static_cast<Sink*>(user);
  sink->events.push_back({event, std::string(data, len)});
  return sink->result;
}

std::vector<Event> parse(const std::string& text, bool flush, size_t piece = 0) {
  Sink sink;
  NVSseParser* p = nv_sse_create(collect, &sink);
  if (piece == 0) piece = text.size() + 1;
  for (size_t pos = 0; pos < text.size(); pos += piece) {
    EXPECT_EQ(nv_sse_feed(p, text.data() + pos, std::min(piece, text.size() - pos)), 0);
  }
  if (flush) {
    EXPECT_EQ(nv_sse_flush(p), 0);
  }
  nv_sse_destroy(p);
  return sink.events;
}

TEST(SseParser, Cases) {
  struct Case {
    const char* name;
    std::string text;
    bool flush;
    std::vector<Event> expected;
  };
  const std::vector<Case> cases = {
      {"two data lines, CRLF", "data: a\r\ndata: b\n\n", false, {{"", "a\nb"}}},
      {"event and bare data field", "event:x\ndata\n\n", false, {{"x", ""}}},
      {"comment only", ": hello\n\n", false, {}},
      {"empty lines alone", "\n\n\r\n", false, {}},
      {"event without data", "event: ping\n\n", false, {{"ping", ""}}},
      {"unknown fields ignored", "id: 3\nretry: 10\ndata: v\n\n", false, {{"", "v"}}},
      {"one space removed", "data:  two\n\n", false, {{"", " two"}}},
      {"colon in value kept", "data: a:b\n\n", false, {{"", "a:b"}}},
      {"two events", "data: 1\n\nevent: e\ndata: 2\n\n", false, {{"", "1"}, {"e", "2"}}},
      {"incomplete without flush", "data: x\n", false, {}},
      {"flush dispatches pending", "data: x\n", true, {{"", "x"}}},
      {"flush completes last line", "event: e\ndata: tail", true, {{"e", "tail"}}},
      {"flush with nothing", "", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse(c.text, c.flush), c.expected);
    EXPECT_EQ(parse(c.text, c.flush, 1), c.expected) << "byte by byte";
  }
}

TEST(SseParser, CallbackResultStopsAndKeepsTheRest) {
  Sink sink;
  sink.result = 3;
  NVSseParser* p = nv_sse_create(collect, &sink);
  const std::string text = "data: 1\n\ndata: 2\n\n";
  EXPECT_EQ(nv_sse_feed(p, text.data(), text.size()), 3);
  ASSERT_EQ(sink.events.size(), 1u);
  sink.result = 0;
  // The second event's lines stayed buffered and complete on the next feed.
  EXPECT_EQ(nv_sse_feed(p, "", 0), 0);
  ASSERT_EQ(sink.events.size(), 2u);
  EXPECT_EQ(sink.events[1].data, "2");
  nv_sse_destroy(p);
}

TEST(SseParser, LineBufferLimit) {
  NVSseParser* p = nv_sse_create(nullptr, nullptr);
  const std::string chunk(1 << 20, 'x');
  for (int i = 0; i < 16; ++i) ASSERT_EQ(nv_sse_feed(p, chunk.data(), chunk.size()), 0);
  EXPECT_EQ(nv_sse_feed(p, "y", 1), -1) << "an unterminated line past 16 MiB is refused";
  EXPECT_EQ(nv_sse_feed(p, "\n\n", 2), -1);
  nv_sse_destroy(p);
}

TEST(SseParser, NullArguments) {
  EXPECT_EQ(nv_sse_feed(nullptr, "x", 1), 0);
  EXPECT_EQ(nv_sse_flush(nullptr), 0);
  nv_sse_destroy(nullptr);
  NVSseParser* p = nv_sse_create(nullptr, nullptr);
  EXPECT_EQ(nv_sse_feed(p, nullptr, 3), 0);
  EXPECT_EQ(nv_sse_feed(p, "data: x\n\n", 9), 0) << "without a callback events are discarded";
  EXPECT_EQ(nv_sse_flush(p), 0);
  nv_sse_destroy(p);
}

}  // namespace
