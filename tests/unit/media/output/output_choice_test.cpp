#include "media/output/output_choice.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

struct ChoiceCase {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::string> stream_target;  // nullopt: native output
  std::optional<std::string> native_device;
};

class OutputChoiceTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(OutputChoiceTest, ReadsTheOutputDeviceText) {
  const auto& c = GetParam();
  const OutputChoice choice = choose_output(c.text);
  if (c.stream_target) {
    const auto* s = std::get_if<StreamOutputChoice>(&choice);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->target.to_string(), *c.stream_target);
  } else {
    const auto* n = std::get_if<NativeOutputChoice>(&choice);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->device, c.native_device);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OutputChoiceTest,
    ::testing::Values(
        ChoiceCase{"Absent", std::nullopt, std::nullopt, std::nullopt},
        ChoiceCase{"StreamPort", "stream:7238", "127.0.0.1:7238", {}},
        ChoiceCase{"TcpPort", "tcp:7238", "127.0.0.1:7238", {}},
        ChoiceCase{"PlusPort", "stream:+9000", "127.0.0.1:9000", {}},
        ChoiceCase{"PortZero", "stream:0", "127.0.0.1:0", {}},
        ChoiceCase{"LeadingZeros", "stream:09000", "127.0.0.1:9000", {}},
        ChoiceCase{"LargestPort", "tcp:65535", "127.0.0.1:65535", {}},
        ChoiceCase{"PortTooLarge", "stream:65536", "127.0.0.1:7238", {}},
        ChoiceCase{"NegativePort", "stream:-1", "127.0.0.1:7238", {}},
        ChoiceCase{"PlusOnly", "stream:+", "127.0.0.1:7238", {}},
        ChoiceCase{"BareStream", "stream:", "127.0.0.1:7238", {}},
        ChoiceCase{"BareTcp", "tcp:", "127.0.0.1:7238", {}},
        ChoiceCase{"HostNameNotResolved", "stream:localhost:9000", "127.0.0.1:7238", {}},
        ChoiceCase{"Ipv4Address", "stream:10.0.0.2:5000", "10.0.0.2:5000", {}},
        ChoiceCase{"TcpIpv4Address", "tcp:192.168.1.5:9000", "192.168.1.5:9000", {}},
        ChoiceCase{"Ipv6Address", "stream:[::1]:9000", "[::1]:9000", {}},
        ChoiceCase{"CapitalStreamIsADeviceName", "Stream:9000", std::nullopt, "Stream:9000"},
        ChoiceCase{"PrefixNotAtStart", " stream:9000", std::nullopt, " stream:9000"},
        ChoiceCase{"DeviceName", "Built-in Output", std::nullopt, "Built-in Output"},
        ChoiceCase{"EmptyText", "", std::nullopt, ""}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace sonvale
