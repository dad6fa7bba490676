#include "discovery/interface_selection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/socket_addr.h"
#include "support/fake_interfaces.h"

namespace sonvale::mdns {
namespace {

using testing::FakeInterfaces;
using testing::v6_addr;

std::string text(const std::optional<in6_addr>& a) { return a ? ipv6_to_string(*a) : "none"; }

// Linux order: every IPv4 entry, then every IPv6 one; aliases as "eth0:1".
FakeInterfaces host() {
  FakeInterfaces f;
  f.v4("lo", "127.0.0.1", "255.0.0.0")
      .v4("eth0", "192.168.1.23", "255.255.255.0", "192.168.1.255")
      .v4("eth0:1", "10.9.0.1", "255.255.0.0")
      .v4("wlan0", "172.16.0.9", "255.255.240.0", "172.16.15.255")
      .v6("lo", "::1")
      .v6("eth0", "fe80::1c2b:3d4e:5f6a:7b8c")
      .v6("eth0", "2001:db8::23")
      .v6("wlan0", "fd00::9")
      .v6("wlan0", "fe80::9")
      .index("lo", 1)
      .index("eth0", 2)
      .index("wlan0", 3);
  return f;
}

struct SelectCase {
  const char* title;
  FakeInterfaces interfaces;
  const char* address;
  const char* name;
  const char* link_local;
  const char* mi_connect;
};

class SelectionTest : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectionTest, FindsTheInterfacesIpv6Addresses) {
  const auto& c = GetParam();
  const Ipv4 address = *Ipv4::parse(c.address);
  EXPECT_EQ(text(find_link_local_ipv6(c.interfaces, address, c.name)), c.link_local);
  EXPECT_EQ(text(find_mi_connect_ipv6(c.interfaces, address, c.name)), c.mi_connect);
}

FakeInterfaces only_link_local() {
  FakeInterfaces f;
  f.v4("en0", "10.0.0.5").v6("en0", "fe80::5").index("en0", 4);
  return f;
}

FakeInterfaces excluded_only() {
  FakeInterfaces f;
  f.v4("en0", "10.0.0.5").v6("en0", "::").v6("en0", "::1").v6("en0", "ff02::fb").v6("en0", "fe80::5");
  return f;
}

// Aliases listed under their own name: their entries belong to the base interface by index.
FakeInterfaces alias_only_v6() {
  FakeInterfaces f;
  f.v4("eth0:1", "10.9.0.1").v6("eth0", "fe80::2").v6("eth0", "2001:db8::2").index("eth0", 2);
  return f;
}

// Without an index a different name does not belong, even on the same interface.
FakeInterfaces alias_without_index() {
  FakeInterfaces f;
  f.v4("eth0:1", "10.9.0.1").v6("eth0", "fe80::2");
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Interfaces, SelectionTest,
    ::testing::Values(
        SelectCase{"by_address", host(), "192.168.1.23", "", "fe80::1c2b:3d4e:5f6a:7b8c", "2001:db8::23"},
        SelectCase{"by_address_wins_over_name", host(), "172.16.0.9", "eth0", "fe80::9", "fd00::9"},
        SelectCase{"by_name_when_no_entry_has_the_address", host(), "192.168.50.50", "wlan0",
                   "fe80::9", "fd00::9"},
        SelectCase{"by_name_ignoring_case", host(), "192.168.50.50", "ETH0",
                   "fe80::1c2b:3d4e:5f6a:7b8c", "2001:db8::23"},
        SelectCase{"empty_name_unknown_address", host(), "192.168.50.50", "", "none", "none"},
        SelectCase{"alias_address_selects_base_by_index", host(), "10.9.0.1", "",
                   "fe80::1c2b:3d4e:5f6a:7b8c", "2001:db8::23"},
        SelectCase{"alias_index_rule", alias_only_v6(), "10.9.0.1", "", "fe80::2", "2001:db8::2"},
        SelectCase{"alias_without_index", alias_without_index(), "10.9.0.1", "", "none", "none"},
        SelectCase{"loopback", host(), "127.0.0.1", "", "none", "none"},
        SelectCase{"only_link_local", only_link_local(), "10.0.0.5", "", "fe80::5", "none"},
        SelectCase{"exclusions", excluded_only(), "10.0.0.5", "en0", "fe80::5", "none"},
        SelectCase{"empty_list", FakeInterfaces(), "10.0.0.5", "en0", "none", "none"},
        SelectCase{"enumeration_fails", host().failing(), "192.168.1.23", "eth0", "none", "none"}),
    [](const auto& p) { return std::string(p.param.title); });

TEST(SelectInterfaceTest, IndexKeptOnlyWhenNonZero) {
  FakeInterfaces f = host();
  const auto list = *f.list();
  const auto by_addr = select_interface(list, f, *Ipv4::parse("192.168.1.23"), "x");
  EXPECT_EQ(by_addr.name, "eth0");
  EXPECT_EQ(by_addr.index, 2u);
  FakeInterfaces unknown;
  unknown.v4("tun9", "10.1.1.1");
  const auto no_index = select_interface(*unknown.list(), unknown, *Ipv4::parse("10.1.1.1"), "");
  EXPECT_EQ(no_index.name, "tun9");
  EXPECT_FALSE(no_index.index);
  const auto by_name = select_interface(list, f, *Ipv4::parse("1.2.3.4"), "Eth0");
  EXPECT_EQ(by_name.name, "Eth0");
  EXPECT_FALSE(by_name.index);
}

TEST(BroadcastTargetTest, FirstEntryWithTheAddressAndABroadcast) {
  FakeInterfaces f = host();
  const auto list = *f.list();
  EXPECT_EQ(broadcast_target(list, *Ipv4::parse("192.168.1.23")).to_string(), "192.168.1.255");
  EXPECT_EQ(broadcast_target(list, *Ipv4::parse("127.0.0.1")).to_string(), "255.255.255.255");
  EXPECT_EQ(broadcast_target(list, *Ipv4::parse("10.9.0.1")).to_string(), "255.255.255.255");
  EXPECT_EQ(broadcast_target({}, *Ipv4::parse("192.168.1.23")).to_string(), "255.255.255.255");
}

TEST(Ipv6BrowserIndexTest, NameMustMatchExactlyWithTheAddress) {
  FakeInterfaces f = host();
  const auto list = *f.list();
  const Ipv4 addr = *Ipv4::parse("192.168.1.23");
  EXPECT_EQ(ipv6_browser_index(list, f, addr, "eth0"), 2u);
  EXPECT_EQ(ipv6_browser_index(list, f, addr, "ETH0"), 0u);  // registration ignores case, this not
  EXPECT_EQ(ipv6_browser_index(list, f, addr, ""), 0u);
  EXPECT_EQ(ipv6_browser_index(list, f, addr, "wlan0"), 0u);
  EXPECT_EQ(ipv6_browser_index(list, f, addr, std::string("eth0\0", 5)), 0u);
}

TEST(InventoryTest, OneObjectPerEntryInListOrder) {
  FakeInterfaces f;
  f.v4("lo", "127.0.0.1", "255.0.0.0").v4("tun9", "10.1.1.1").v6("lo", "::1").v6("tun9", "fe80::9");
  f.index("lo", 1);
  const Json inv = interface_inventory(*f.list(), f);
  EXPECT_EQ(inv, Json::parse(R"([
    {"name":"lo","index":1,"address":"127.0.0.1","link_local_v6":false},
    {"name":"tun9","index":null,"address":"10.1.1.1","link_local_v6":false},
    {"name":"lo","index":1,"address":"::1","link_local_v6":false},
    {"name":"tun9","index":null,"address":"fe80::9","link_local_v6":true}])"));
  EXPECT_EQ(interface_inventory({}, f), Json::array());
}

TEST(OnLinkSourcesTest, SubnetsOfTheSelectedInterfaceLinkLocalAndLoopback) {
  FakeInterfaces f = host();
  const auto list = *f.list();
  const auto eth0 = OnLinkSources::of(list, f, *Ipv4::parse("192.168.1.23"), "");
  struct Case {
    const char* source;
    bool on_link;
  };
  const Case cases[] = {
      {"192.168.1.1", true},   {"192.168.1.254", true}, {"192.168.2.1", false},
      {"10.9.200.7", true},    // the alias's subnet is the same interface's
      {"172.16.0.10", false},  // another interface's subnet
      {"169.254.3.4", true},   {"127.0.0.1", false},    {"8.8.8.8", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(eth0.is_host(*Ipv4::parse(c.source)), c.on_link) << c.source;

  const auto lo = OnLinkSources::of(list, f, *Ipv4::parse("127.0.0.1"), "");
  EXPECT_TRUE(lo.is_host(*Ipv4::parse("127.0.0.1")));
  EXPECT_TRUE(lo.is_host(*Ipv4::parse("127.5.5.5")));
  EXPECT_FALSE(lo.is_host(*Ipv4::parse("192.168.1.1")));
  // No entry holds the address and no name given: only link-local sources.
  const auto none = OnLinkSources::of(list, f, *Ipv4::parse("10.77.0.1"), "");
  EXPECT_FALSE(none.is_host(*Ipv4::parse("10.77.0.2")));
  EXPECT_TRUE(none.is_host(*Ipv4::parse("169.254.0.1")));
}

// Only an address that names one host is answered by unicast: what is sent to a subnet's network
// or broadcast address, a multicast or a reserved address reaches every host or none.
struct HostCase {
  const char* address;
  bool host;
};

class OnLinkHostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(OnLinkHostTest, OnlyHostAddressesOfTheLink) {
  FakeInterfaces f;
  f.v4("eth0", "192.168.1.23", "255.255.255.0", "192.168.1.255")
      .v4("eth0", "10.9.0.1", "255.255.0.0")
      .v4("eth0", "10.9.4.1", "255.255.255.0")  // a narrower subnet inside the /16
      .v4("eth0", "172.20.0.6", "255.255.255.252")
      .v4("eth0", "172.21.0.0", "255.255.255.254")
      .v4("eth0", "172.22.0.9", "255.255.255.255")
      .index("eth0", 2);
  const auto link = OnLinkSources::of(*f.list(), f, *Ipv4::parse("192.168.1.23"), "");
  FakeInterfaces lo_only;
  lo_only.v4("lo", "127.0.0.1", "255.0.0.0").index("lo", 1);
  const auto lo = OnLinkSources::of(*lo_only.list(), lo_only, Ipv4::loopback(), "");
  const Ipv4 a = *Ipv4::parse(GetParam().address);
  EXPECT_EQ(link.is_host(a) || lo.is_host(a), GetParam().host) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, OnLinkHostTest,
    ::testing::Values(
        HostCase{"192.168.1.0", false}, HostCase{"192.168.1.1", true},
        HostCase{"192.168.1.254", true}, HostCase{"192.168.1.255", false},
        HostCase{"192.168.2.0", false}, HostCase{"192.168.0.255", false},
        HostCase{"10.9.0.0", false}, HostCase{"10.9.255.255", false},
        HostCase{"10.9.4.0", false},    // a host of the /16, the network of the /24
        HostCase{"10.9.4.255", false},  // a host of the /16, the broadcast of the /24
        HostCase{"10.9.4.254", true}, HostCase{"10.9.3.255", true},
        // A /30 has two hosts; a /31 (RFC 3021) and a /32 have no network or broadcast address.
        HostCase{"172.20.0.4", false}, HostCase{"172.20.0.5", true}, HostCase{"172.20.0.6", true},
        HostCase{"172.20.0.7", false}, HostCase{"172.21.0.0", true}, HostCase{"172.21.0.1", true},
        HostCase{"172.21.0.2", false}, HostCase{"172.22.0.9", true}, HostCase{"172.22.0.10", false},
        HostCase{"169.254.0.0", false}, HostCase{"169.254.0.1", true},
        HostCase{"169.254.255.254", true}, HostCase{"169.254.255.255", false},
        HostCase{"127.0.0.0", false}, HostCase{"127.0.0.1", true},
        HostCase{"127.255.255.254", true}, HostCase{"127.255.255.255", false},
        HostCase{"0.0.0.0", false}, HostCase{"0.0.0.1", false},
        HostCase{"223.255.255.255", false},  // off the link
        HostCase{"224.0.0.0", false}, HostCase{"224.0.0.251", false},
        HostCase{"239.255.255.255", false}, HostCase{"240.0.0.1", false},
        HostCase{"255.255.255.255", false}),
    [](const auto& p) {
      std::string name = p.param.address;
      for (char& ch : name) {
        if (ch == '.') ch = '_';
      }
      return "a" + name;
    });

TEST(OnLinkHostTest, ASubnetAsWideAsTheInternetHoldsNoSpecialAddress) {
  FakeInterfaces f;
  f.v4("tun0", "10.0.0.1", "0.0.0.0").index("tun0", 4);
  const auto link = OnLinkSources::of(*f.list(), f, *Ipv4::parse("10.0.0.1"), "");
  for (const char* host : {"8.8.8.8", "1.0.0.0", "223.255.255.254"}) {
    EXPECT_TRUE(link.is_host(*Ipv4::parse(host))) << host;
  }
  for (const char* special :
       {"0.0.0.0", "0.255.255.255", "224.0.0.251", "240.0.0.1", "255.255.255.255"}) {
    EXPECT_FALSE(link.is_host(*Ipv4::parse(special))) << special;
  }
}

}  // namespace
}  // namespace sonvale::mdns
