#include "core/event_sink.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

TEST(CompactJsonTest, KeysInByteOrderAndRequiredEscapes) {
  Json v = {{"event", "x"}, {"B", 1}, {"a", "q\"\\\b\f\n\r\t\x01\x1f/\xc3\xa9\xe5\xb0\x8f"}};
  v["B"] = 2;  // setting a key again replaces it
  EXPECT_EQ(compact_json(v),
            "{\"B\":2,\"a\":\"q\\\"\\\\\\b\\f\\n\\r\\t\\u0001\\u001f/\xc3\xa9\xe5\xb0\x8f\","
            "\"event\":\"x\"}");
}

TEST(CompactJsonTest, InvalidUtf8IsReplacedNotThrown) {
  Json v = {{"name", std::string("a\xff" "b\xc3")}};
  EXPECT_EQ(compact_json(v), "{\"name\":\"a\xef\xbf\xbd" "b\xef\xbf\xbd\"}");
}

TEST(EventSinkTest, CopiesShareTheCallbackAndThrowingBodiesAreContained) {
  int calls = 0;
  EventSink sink([&](Json) { ++calls; });
  EventSink copy = sink;
  copy(Json::object());
  sink(Json::object());
  EXPECT_EQ(calls, 2);
  EventSink thrower([](Json) { throw std::runtime_error("x"); });
  thrower(Json::object());  // must not propagate
  EventSink empty;
  empty(Json::object());
}

}  // namespace
}  // namespace sonvale
