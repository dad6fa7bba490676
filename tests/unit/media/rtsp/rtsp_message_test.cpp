#include "media/rtsp/rtsp_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace sonvale {
namespace {

using Framed = std::optional<FramedRtspMessage>;

Result<Framed> frame(std::string_view text) { return frame_rtsp_message(as_bytes(text)); }

// Frames every message out of `stream` fed in pieces cut at `cuts`, as a receive buffer would.
std::vector<RtspMessage> frame_stream(const std::string& stream, std::vector<std::size_t> cuts) {
  cuts.push_back(stream.size());
  std::vector<RtspMessage> out;
  Bytes buffer;
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(from),
                  stream.begin() + static_cast<std::ptrdiff_t>(cut));
    from = cut;
    for (;;) {
      auto r = frame_rtsp_message(buffer);
      EXPECT_TRUE(r.has_value()) << r.error().to_string();
      if (!r || !*r) break;
      out.push_back((*r)->message);
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>((*r)->consumed));
    }
  }
  EXPECT_TRUE(buffer.empty());
  return out;
}

const std::string kWithBody =
    "SET_PARAMETER rtsp://localhost/wfd1.0 RTSP/1.0\r\nCSeq: 4\r\nContent-Length: 5\r\n\r\nab\r\nc";

TEST(RtspFramer, MessageSplitAtEveryOffsetFramesOnceComplete) {
  for (std::size_t cut = 0; cut <= kWithBody.size(); ++cut) {
    SCOPED_TRACE(cut);
    const auto msgs = frame_stream(kWithBody, {cut});
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].start_line, "SET_PARAMETER rtsp://localhost/wfd1.0 RTSP/1.0");
    EXPECT_EQ(as_text(msgs[0].body), "ab\r\nc");
    EXPECT_EQ(*msgs[0].header("cseq"), "4");
  }
  // Byte by byte: nothing is framed before the last byte.
  Bytes buffer;
  for (std::size_t i = 0; i < kWithBody.size(); ++i) {
    buffer.push_back(static_cast<std::uint8_t>(kWithBody[i]));
    auto r = frame_rtsp_message(buffer);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->has_value(), i + 1 == kWithBody.size()) << i;
  }
}

TEST(RtspFramer, TwoMessagesInOneReadAreFramedInTurn) {
  const std::string second = "OPTIONS * RTSP/1.0\r\nCSeq: 5\r\n\r\n";
  const std::string stream = kWithBody + second;
  auto r = frame(stream);
  ASSERT_TRUE(r.has_value());
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ((*r)->consumed, kWithBody.size());
  const auto msgs = frame_stream(stream, {});
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(*msgs[1].header("cseq"), "5");
  EXPECT_TRUE(msgs[1].body.empty());
}

TEST(RtspFramer, HeaderLinesAreNormalised) {
  auto r = frame(
      "GET_PARAMETER x RTSP/1.0 \r\n  CSeq :  7  \r\nno colon here\r\nX-A: 1\r\nx-a: 2\r\n"
      "Empty:\r\n\r\n");
  ASSERT_TRUE(r.has_value());
  ASSERT_TRUE(r->has_value());
  const RtspMessage& m = (*r)->message;
  EXPECT_EQ(m.start_line, "GET_PARAMETER x RTSP/1.0 ");
  EXPECT_EQ(m.headers.size(), 3u);
  EXPECT_EQ(*m.header("cseq"), "7");
  EXPECT_EQ(*m.header("x-a"), "2");  // the later line wins
  EXPECT_EQ(*m.header("empty"), "");
  EXPECT_EQ(m.header("no colon here"), nullptr);
}

struct LengthCase {
  const char* name;
  std::string content_length;
  std::optional<std::size_t> body;  // nullopt: the framer fails
  const char* error = "";
};

class RtspContentLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(RtspContentLength, IsParsedStrictly) {
  const LengthCase& c = GetParam();
  const std::string text =
      "X y RTSP/1.0\r\nContent-Length:" + c.content_length + "\r\n\r\n" + std::string(8, 'b');
  auto r = frame(text);
  if (!c.body) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string().rfind(c.error, 0), 0u) << r.error().to_string();
    return;
  }
  ASSERT_TRUE(r.has_value()) << r.error().to_string();
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ((*r)->message.body.size(), *c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RtspContentLength,
    ::testing::Values(LengthCase{"plain", " 5", 5}, LengthCase{"plus", " +5", 5},
                      LengthCase{"zero", "0", 0}, LengthCase{"leading_zeros", "0008", 8},
                      LengthCase{"empty", "", std::nullopt, "invalid RTSP Content-Length: "},
                      LengthCase{"blank", "   ", std::nullopt, "invalid RTSP Content-Length: "},
                      LengthCase{"lone_plus", "+", std::nullopt, "invalid RTSP Content-Length: "},
                      LengthCase{"minus", "-5", std::nullopt, "invalid RTSP Content-Length: "},
                      LengthCase{"garbage", "5x", std::nullopt, "invalid RTSP Content-Length: "},
                      LengthCase{"inner_space", "5 5", std::nullopt,
                                 "invalid RTSP Content-Length: "},
                      LengthCase{"u64_max", "18446744073709551615", std::nullopt,
                                 "ZeDidi RTSP message length overflow"},
                      LengthCase{"past_u64", "18446744073709551616", std::nullopt,
                                 "invalid RTSP Content-Length: "},
                      LengthCase{"over_limit", "1048576", std::nullopt,
                                 "ZeDidi RTSP message exceeds 1048576 bytes"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A message of exactly the limit is framed whole; one byte more fails with `error`.
void expect_whole_at_limit(const Result<Framed>& r, std::size_t extra,
                           const std::string& error) {
  if (extra == 0) {
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    ASSERT_TRUE(r->has_value());
    EXPECT_EQ((*r)->consumed, kMaxRtspMessageBytes);
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), error);
  }
}

TEST(RtspFramer, MessageLimitIsExact) {
  const std::string head = "X y RTSP/1.0\r\nContent-Length: ";
  // Header and body together exactly at the limit, then one byte over it.
  for (const std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(extra);
    std::string probe = head + "1000000\r\n\r\n";
    const std::size_t body = kMaxRtspMessageBytes - probe.size() + extra;
    const std::string text = head + std::to_string(body) + "\r\n\r\n" + std::string(body, 'z');
    ASSERT_EQ(text.size(), kMaxRtspMessageBytes + extra);
    expect_whole_at_limit(frame(text), extra, "ZeDidi RTSP message exceeds 1048576 bytes");
  }
}

TEST(RtspFramer, HeaderLimitIsExact) {
  // Without a blank line: the limit is waited out, one byte more fails.
  std::string no_end(kMaxRtspMessageBytes, 'h');
  auto waiting = frame(no_end);
  ASSERT_TRUE(waiting.has_value());
  EXPECT_FALSE(waiting->has_value());
  no_end.push_back('h');
  auto over = frame(no_end);
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error().to_string(), "ZeDidi RTSP header exceeds 1048576 bytes");

  // A header whose blank line ends exactly at the limit is accepted; one byte later is not.
  const std::string start = "X y RTSP/1.0\r\nPad: ";
  for (const std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
    SCOPED_TRACE(extra);
    const std::string text =
        start + std::string(kMaxRtspMessageBytes - start.size() - 4 + extra, 'p') + "\r\n\r\n";
    expect_whole_at_limit(frame(text), extra, "ZeDidi RTSP header exceeds 1048576 bytes");
  }
}

TEST(RtspFramer, HeaderMustBeUtf8ButBodyNeedNot) {
  auto bad = frame("X y RTSP/1.0\r\nA: \xc3\x28\r\n\r\n");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string().rfind("RTSP header is not UTF-8: ", 0), 0u);

  auto r = frame("X y RTSP/1.0\r\nContent-Length: 2\r\n\r\n\xff\xfe");
  ASSERT_TRUE(r.has_value());
  ASSERT_TRUE(r->has_value());
  EXPECT_EQ((*r)->message.body.size(), 2u);
  EXPECT_EQ((*r)->message.body_text(), "");
}

TEST(RtspFramer, FewerThanFourBytesWaitForMore) {
  for (const char* text : {"", "\r", "\r\n\r"}) {
    auto r = frame(text);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->has_value());
  }
  auto empty_header = frame("\r\n\r\n");
  ASSERT_TRUE(empty_header.has_value());
  ASSERT_TRUE(empty_header->has_value());
  EXPECT_EQ((*empty_header)->message.start_line, "");
}

// Streams fed to RtspFramer in pieces: every message comes out with the piece that carries its
// last byte, exactly as frame_rtsp_message frames the whole stream.
struct PiecesCase {
  const char* name;
  std::string stream;
  std::vector<std::size_t> piece_sizes;  // the rest of the stream follows as one last piece
};

class RtspFramerPieces : public ::testing::TestWithParam<PiecesCase> {};

TEST_P(RtspFramerPieces, FramesEachMessageWithItsLastPiece) {
  const PiecesCase& c = GetParam();
  // The oracle: the messages of the whole stream and the offset just past each.
  std::vector<RtspMessage> expected;
  std::vector<std::size_t> ends;
  for (std::size_t from = 0; from < c.stream.size();) {
    auto r = frame_rtsp_message(as_bytes(std::string_view(c.stream).substr(from)));
    ASSERT_TRUE(r.has_value()) << r.error().to_string();
    ASSERT_TRUE(r->has_value()) << "the stream must end with a whole message";
    expected.push_back((*r)->message);
    from += (*r)->consumed;
    ends.push_back(from);
  }

  std::vector<std::size_t> pieces = c.piece_sizes;
  std::size_t total = 0;
  for (const std::size_t n : pieces) total += n;
  ASSERT_LE(total, c.stream.size());
  pieces.push_back(c.stream.size() - total);

  RtspFramer framer;
  std::size_t fed = 0;
  std::size_t framed = 0;
  for (const std::size_t n : pieces) {
    framer.append(as_bytes(std::string_view(c.stream).substr(fed, n)));
    fed += n;
    for (;;) {
      auto r = framer.next();
      ASSERT_TRUE(r.has_value()) << r.error().to_string();
      if (!*r) break;
      ASSERT_LT(framed, expected.size());
      SCOPED_TRACE(framed);
      EXPECT_EQ((*r)->start_line, expected[framed].start_line);
      EXPECT_EQ((*r)->headers, expected[framed].headers);
      EXPECT_EQ((*r)->body, expected[framed].body);
      EXPECT_LE(ends[framed], fed) << "framed before its last byte arrived";
      ++framed;
    }
    // Every message whose last byte has arrived has been framed.
    EXPECT_EQ(framed, static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), fed) -
                                               ends.begin()));
  }
  EXPECT_EQ(framed, expected.size());
  EXPECT_EQ(framer.buffered(), 0u);
}

const std::string kOptions = "OPTIONS * RTSP/1.0\r\nCSeq: 5\r\n\r\n";  // 31 bytes
const std::size_t kOptionsBlank = kOptions.size() - 4;

std::string long_header(std::size_t lines, std::size_t body) {
  std::string out = "GET_PARAMETER x RTSP/1.0\r\nContent-Length: " + std::to_string(body) + "\r\n";
  for (std::size_t i = 0; i < lines; ++i) out += "P" + std::to_string(i) + ":ab\r\n";
  return out + "\r\n" + std::string(body, 'b');
}

std::vector<std::size_t> repeat(std::size_t size, std::size_t times) {
  return std::vector<std::size_t>(times, size);
}

std::vector<std::size_t> long_header_pieces() {
  // The header line by line (the lines grow with their number), then the body 10 bytes at a time.
  std::vector<std::size_t> sizes{
      std::string("GET_PARAMETER x RTSP/1.0\r\nContent-Length: 500\r\n").size()};
  for (std::size_t i = 0; i < 2000; ++i)
    sizes.push_back(("P" + std::to_string(i) + ":ab\r\n").size());
  sizes.push_back(2);
  for (std::size_t i = 0; i < 49; ++i) sizes.push_back(10);
  return sizes;
}

INSTANTIATE_TEST_SUITE_P(
    Splits, RtspFramerPieces,
    ::testing::Values(
        PiecesCase{"Whole", kOptions, {}},
        PiecesCase{"TerminatorAfterItsFirstByte", kOptions, {kOptionsBlank + 1}},
        PiecesCase{"TerminatorAfterItsSecondByte", kOptions, {kOptionsBlank + 2}},
        PiecesCase{"TerminatorAfterItsThirdByte", kOptions, {kOptionsBlank + 3}},
        PiecesCase{"TerminatorInFourPieces", kOptions, {kOptionsBlank + 1, 1, 1}},
        PiecesCase{"TerminatorAloneAfterTheHeader", kOptions, {kOptionsBlank, 2, 1}},
        PiecesCase{"ByteByByte", kOptions + kWithBody,
                   repeat(1, kOptions.size() + kWithBody.size())},
        PiecesCase{"EmptyHeaderInTwoPieces", "\r\n\r\n", {2}},
        PiecesCase{"FewerThanFourBytesThenTheTerminator", "X\r\n\r\n", {3}},
        // "\r\n\r" ends a piece but the next byte is no "\n": the search must look again there.
        PiecesCase{"PartialTerminatorThatIsNot", "X y\r\n\rA: 1\r\n\r\n", {6, 1}},
        PiecesCase{
            "BodyInTenBytePieces", kWithBody + kOptions, {kWithBody.size() - 5, 1, 1, 1, 1, 1, 10}},
        PiecesCase{"SecondTerminatorSplitInTheSamePiece",
                   kWithBody + kOptions,
                   {kWithBody.size() + kOptionsBlank + 2}},
        PiecesCase{"TwoMessagesAndAHalfThenTheRest",
                   kOptions + kOptions + kOptions,
                   {2 * kOptions.size() + kOptionsBlank + 3}},
        PiecesCase{"LongHeaderLineByLineThenItsBody", long_header(2000, 500),
                   long_header_pieces()}),
    [](const auto& p) { return std::string(p.param.name); });

// Failures come out of the framer as out of frame_rtsp_message, also when the bytes trickle in.
struct FailureCase {
  const char* name;
  std::string stream;
  std::string error;  // the start of the failure's text
};

class RtspFramerFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(RtspFramerFailure, MatchesTheWholeStreamFailure) {
  const FailureCase& c = GetParam();
  auto whole = frame_rtsp_message(as_bytes(c.stream));
  ASSERT_FALSE(whole.has_value());
  EXPECT_EQ(whole.error().to_string().rfind(c.error, 0), 0u) << whole.error().to_string();
  for (const std::size_t piece : {std::size_t{1}, std::size_t{8192}}) {
    SCOPED_TRACE(piece);
    RtspFramer framer;
    std::optional<Error> failure;
    for (std::size_t fed = 0; fed < c.stream.size() && !failure; fed += piece) {
      framer.append(as_bytes(std::string_view(c.stream).substr(fed, piece)));
      auto r = framer.next();
      if (!r)
        failure = r.error();
      else
        ASSERT_FALSE(r->has_value());
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->to_string(), whole.error().to_string());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, RtspFramerFailure,
    ::testing::Values(FailureCase{"NoBlankLineWithinTheLimit",
                                  std::string(kMaxRtspMessageBytes + 1, 'h'),
                                  "ZeDidi RTSP header exceeds 1048576 bytes"},
                      FailureCase{"BlankLineJustPastTheLimit",
                                  std::string(kMaxRtspMessageBytes - 3, 'h') + "\r\n\r\n",
                                  "ZeDidi RTSP header exceeds 1048576 bytes"},
                      FailureCase{"HeaderNotUtf8", "X y RTSP/1.0\r\nA: \xc3\x28\r\n\r\n",
                                  "RTSP header is not UTF-8: "},
                      FailureCase{"BadContentLength", "X y RTSP/1.0\r\nContent-Length: 5x\r\n\r\n",
                                  "invalid RTSP Content-Length: "},
                      FailureCase{"MessageOverTheLimit",
                                  "X y RTSP/1.0\r\nContent-Length: 1048576\r\n\r\n",
                                  "ZeDidi RTSP message exceeds 1048576 bytes"}),
    [](const auto& p) { return std::string(p.param.name); });

struct StartLineCase {
  const char* start_line;
  bool response;
  const char* method;
};

class RtspStartLine : public ::testing::TestWithParam<StartLineCase> {};

TEST_P(RtspStartLine, ClassifiesAndTakesTheMethod) {
  const auto& c = GetParam();
  EXPECT_EQ(is_rtsp_response(c.start_line), c.response);
  EXPECT_EQ(rtsp_method(c.start_line), c.method);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RtspStartLine,
    ::testing::Values(StartLineCase{"RTSP/1.0 200 OK", true, "RTSP/1.0"},
                      StartLineCase{"RTSP/", true, "RTSP/"},
                      StartLineCase{"rtsp/1.0 200 OK", false, "RTSP/1.0"},
                      StartLineCase{"RTSP", false, "RTSP"},
                      StartLineCase{"get_parameter rtsp://x RTSP/1.0", false, "GET_PARAMETER"},
                      StartLineCase{"  \tplay  x", false, "PLAY"}, StartLineCase{"", false, ""},
                      StartLineCase{"   ", false, ""}));

TEST(RtspCseq, MissingHeaderIsZero) {
  RtspMessage m;
  EXPECT_EQ(rtsp_cseq(m), "0");
  m.headers["cseq"] = "12";
  EXPECT_EQ(rtsp_cseq(m), "12");
}

struct ParamCase {
  const char* name;
  const char* text;
  const char* key;
  std::optional<std::string> value;
};

class ParameterValue : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ParameterValue, FindsTheFirstNonEmptyValue) {
  const auto& c = GetParam();
  EXPECT_EQ(parameter_value(c.text, c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ParameterValue,
    ::testing::Values(
        ParamCase{"simple", "wfd_timeoffset: 12\r\n", "wfd_timeoffset", "12"},
        ParamCase{"empty_then_mixed_case", "wfd_timeoffset:\r\nWFD_TimeOffset :  -3 \r\n",
                  "wfd_timeoffset", "-3"},
        ParamCase{"last_line_without_lf", "a: 1\nb: 2", "b", "2"},
        ParamCase{"lf_only_lines", "a: 1\nb: 2\n", "a", "1"},
        ParamCase{"value_with_colons", "wfd_timer_server_port: 0:5000\r\n", "wfd_timer_server_port",
                  "0:5000"},
        ParamCase{"first_of_two", "a: 1\r\na: 2\r\n", "a", "1"},
        ParamCase{"prefix_is_no_match", "wfd_timeoffset_x: 1\r\n", "wfd_timeoffset", std::nullopt},
        ParamCase{"longer_name_no_match", "a: 1\r\n", "ab", std::nullopt},
        ParamCase{"no_colon", "wfd_timeoffset 5\r\n", "wfd_timeoffset", std::nullopt},
        ParamCase{"only_empty", "a:   \r\n", "a", std::nullopt},
        ParamCase{"empty_text", "", "a", std::nullopt}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct SignedCase {
  const char* text;
  std::optional<std::int64_t> value;
};

class SignedDecimal : public ::testing::TestWithParam<SignedCase> {};

TEST_P(SignedDecimal, AcceptsOnlyASignAndDigits) {
  EXPECT_EQ(parse_signed_decimal(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SignedDecimal,
    ::testing::Values(SignedCase{"-1500", -1500}, SignedCase{"+250", 250}, SignedCase{"0", 0},
                      SignedCase{"-0", 0}, SignedCase{"007", 7},
                      SignedCase{"9223372036854775807", INT64_MAX},
                      SignedCase{"-9223372036854775808", INT64_MIN},
                      SignedCase{"9223372036854775808", std::nullopt},
                      SignedCase{"-9223372036854775809", std::nullopt},
                      SignedCase{"+", std::nullopt}, SignedCase{"-", std::nullopt},
                      SignedCase{"", std::nullopt}, SignedCase{"12a", std::nullopt},
                      SignedCase{" 1", std::nullopt}, SignedCase{"1 ", std::nullopt},
                      SignedCase{"+-1", std::nullopt}, SignedCase{"1e3", std::nullopt}));

TEST(RtspText, PresentationUrlLineAndFirstToken) {
  const std::string body =
      "wfd_audio_codecs_v2: x\r\n wfd_presentation_URL: indented\r\n"
      "wfd_presentation_URL: rtsp://192.168.1.5/wfd1.0/streamid=0 none\r\n"
      "wfd_presentation_URL: rtsp://second\r\n";
  const auto rest = presentation_url_line(body);
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, " rtsp://192.168.1.5/wfd1.0/streamid=0 none");
  EXPECT_EQ(first_token(*rest), "rtsp://192.168.1.5/wfd1.0/streamid=0");
  EXPECT_EQ(presentation_url_line("wfd_presentation_URL:\r\n"), "");
  EXPECT_EQ(presentation_url_line("WFD_PRESENTATION_URL: x\r\n"), std::nullopt);
  EXPECT_EQ(first_token(""), std::nullopt);
  EXPECT_EQ(first_token(" \t\r\n"), std::nullopt);
  EXPECT_EQ(first_token("\xc2\xa0"
                        "a\xe3\x80\x80"
                        "b"),
            "a");  // Unicode white space splits
}

}  // namespace
}  // namespace sonvale
