#include "core/error.h"

#include <cerrno>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace sonvale {
namespace {

Result<int> parse_positive(int v) {
  if (v <= 0) return fail(Error::msg("not positive"));
  return v;
}

Result<int> doubled(int v) {
  SV_ASSIGN_OR_RETURN(const int p, with_context(parse_positive(v), "read value"));
  return p * 2;
}

Result<> checked(int v) {
  SV_TRY(doubled(v));
  return {};
}

TEST(ErrorTest, ChainPrintsOutermostFirstJoinedByColon) {
  Error e = Error::os(ECONNREFUSED).context("connect audio").context("start media session");
  EXPECT_EQ(e.to_string(),
            "start media session: connect audio: Connection refused (os error 111)");
  EXPECT_EQ(e.kind(), ErrorKind::kOs);
  EXPECT_EQ(e.os_code(), ECONNREFUSED);
}

TEST(ErrorTest, MacrosPropagateAndKeepContext) {
  EXPECT_EQ(*doubled(4), 8);
  auto r = checked(-1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "read value: not positive");
  EXPECT_EQ(r.error().root_message(), "not positive");
}

// A message that has to be put together is made only when the result failed, once, and is
// placed outermost, above the context the error already had.
TEST(ErrorTest, ContextMessageIsMadeOnlyOnFailure) {
  struct Case {
    const char* name;
    int value;
    int made;
    const char* text;  // of the error; empty for a success
  };
  const Case cases[] = {
      {"success", 3, 0, ""},
      {"failure", -1, 1, "parse 42: read value: not positive"},
  };
  for (const auto& c : cases) {
    int made = 0;
    const int id = 42;
    auto r = with_context(doubled(c.value), [&] {
      ++made;
      return "parse " + std::to_string(id);
    });
    EXPECT_EQ(made, c.made) << c.name;
    EXPECT_EQ(r ? std::string() : r.error().to_string(), c.text) << c.name;
    if (r) {
      EXPECT_EQ(*r, 6) << c.name;
    }
  }
  Result<> failed = fail(Error::os(ETIMEDOUT));
  auto r = with_context(std::move(failed), std::string_view("read body"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "read body: Connection timed out (os error 110)");
  EXPECT_EQ(r.error().io_kind(), IoKind::kTimedOut);
}

TEST(ErrorTest, IoKindSurvivesContextLayers) {
  struct Case {
    Error error;
    IoKind kind;
  };
  const Case cases[] = {
      {Error::os(ECONNRESET).context("read header"), IoKind::kConnectionReset},
      {Error::os(ECONNABORTED), IoKind::kConnectionAborted},
      {Error::os(ETIMEDOUT).context("a").context("b"), IoKind::kTimedOut},
      {Error::os(EAGAIN), IoKind::kWouldBlock},
      {Error::os(EPIPE), IoKind::kBrokenPipe},
      {Error::unexpected_eof().context("read ZeDidi control header"), IoKind::kUnexpectedEof},
      {Error::msg("bad frame"), IoKind::kOther},
      {Error::os(ENOTCONN), IoKind::kOther},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.io_kind(), c.kind) << c.error.to_string();
}

TEST(ErrorTest, FixedTextsOfTypedCauses) {
  EXPECT_EQ(Error::unexpected_eof().to_string(), "failed to fill whole buffer");
  EXPECT_EQ(Error::closed_channel().to_string(), "sending on a closed channel");
  EXPECT_EQ(os_error_text(EADDRINUSE), "Address already in use (os error 98)");
}

// A subsystem's own cause record, found by its type beneath context messages.
struct TestCause {
  int code = 0;
};
struct OtherCause {};

TEST(ErrorTest, SubsystemCauseIsFoundByTypeBeneathContext) {
  Error e = Error::with_cause(TestCause{7}, "root").context("outer");
  EXPECT_EQ(e.kind(), ErrorKind::kSubsystem);
  ASSERT_NE(e.cause<TestCause>(), nullptr);
  EXPECT_EQ(e.cause<TestCause>()->code, 7);
  EXPECT_EQ(e.cause<OtherCause>(), nullptr);
  EXPECT_EQ(e.to_string(), "outer: root");
  EXPECT_EQ(e.io_kind(), IoKind::kOther);
  EXPECT_EQ(Error::msg("x").cause<TestCause>(), nullptr);
  const Error copy = e;  // copies keep the cause
  ASSERT_NE(copy.cause<TestCause>(), nullptr);
  EXPECT_EQ(copy.cause<TestCause>()->code, 7);
}

}  // namespace
}  // namespace sonvale
