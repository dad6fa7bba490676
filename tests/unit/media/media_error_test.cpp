#include "media/media_error.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

TEST(RemoteChannelClosedTest, FixedTextAndDetailsBeneathContext) {
  Error closed = remote_channel_closed({"audio", 2, 4});
  ASSERT_NE(remote_closed_details(closed), nullptr);
  EXPECT_EQ(remote_closed_details(closed)->channel, "audio");
  EXPECT_EQ(remote_closed_details(closed)->bytes_read, 2u);
  EXPECT_EQ(remote_closed_details(closed)->bytes_expected, 4u);
  EXPECT_EQ(closed.to_string(), "ZeDidi audio source closed the channel after 2/4 bytes");
  closed.context("read ZeDidi media stream");
  ASSERT_NE(remote_closed_details(closed), nullptr);
  EXPECT_EQ(remote_closed_details(closed)->channel, "audio");
  EXPECT_EQ(remote_closed_details(Error::msg("x")), nullptr);
  EXPECT_EQ(remote_closed_details(Error::unexpected_eof()), nullptr);
}

}  // namespace
}  // namespace sonvale
