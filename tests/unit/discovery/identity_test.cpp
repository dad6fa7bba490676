#include "discovery/identity.h"

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/encoding.h"

namespace sonvale::mdns {
namespace {

TEST(IdmIdentityTest, KnownVector) {
  const IdmIdentity id = idm_identity("abc");
  EXPECT_EQ(id.full, "ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0");
  EXPECT_EQ(id.code10, "ungWv48Bz-");
  EXPECT_EQ(id.code3, "ung");
}

TEST(IdmIdentityTest, CodesArePrefixesOfTheUrlSafeDigest) {
  for (const char* idm : {"", "3f2a9c1e-0b4d-4e6f-8a7b-1c2d3e4f5a6b", "\xe5\xb0\x8f\xe7\xb1\xb3"}) {
    const IdmIdentity id = idm_identity(idm);
    EXPECT_EQ(id.full, base64url_encode(sha256(as_bytes(idm))));
    EXPECT_EQ(id.full.size(), 43u);
    EXPECT_EQ(id.full.find_first_of("+/="), std::string::npos);
    EXPECT_EQ(id.code10, id.full.substr(0, 10));
    EXPECT_EQ(id.code3, id.full.substr(0, 3));
  }
}

TEST(LyraLabelTest, LastEightHexDigitsOrAddressOctets) {
  const Ipv4 addr = *Ipv4::parse("192.168.1.23");
  struct Case {
    const char* id;
    const char* label;
  };
  const Case cases[] = {
      {"A1B2C3D4", "A1B2C3D4"},
      {"abcdef0123", "CDEF0123"},
      {"xyz-12", "C0A80117"},
      {"", "C0A80117"},
      {"a-b-c-d-e-f-0-1", "ABCDEF01"},
      {"1234567", "C0A80117"},
  };
  for (const auto& c : cases) EXPECT_EQ(lyra_instance_label(c.id, addr), c.label) << c.id;
}

TEST(SanitizeNameTest, KeepsOnlyProtocolCharacters) {
  EXPECT_EQ(sanitize_protocol_name("Living Room \xc3\xa9-1"), "LivingRoom-1");
  EXPECT_EQ(sanitize_protocol_name(" !?"), "");
  EXPECT_EQ(sanitize_protocol_name("a_b-C9"), "a_b-C9");
}

TEST(AdvertisedNameTest, SanitisedDefaultedAndCut) {
  struct Case {
    std::string name;
    std::string advertised;
  };
  const Case cases[] = {
      {"Living Room \xc3\xa9-1", "LivingRoom-1"},
      {"", "Quarnet"},
      {" .,!? ", "Quarnet"},
      {"\xe5\xb0\x8f\xe7\xb1\xb3", "Quarnet"},
      {std::string(45, 'a'), std::string(45, 'a')},
      {std::string(50, 'b'), std::string(45, 'b')},
      {"a b" + std::string(50, 'c'), "ab" + std::string(43, 'c')},
  };
  for (const auto& c : cases) EXPECT_EQ(advertised_name(c.name), c.advertised) << c.name;
  EXPECT_EQ(mi_connect_instance_name("Kitchen", idm_identity("abc")), "Kitchen(ungWv48Bz-)");
  EXPECT_EQ(mi_connect_instance_name(std::string(45, 'x'), idm_identity("abc")).size(), 57u);
}

TEST(LyraDeviceTypeTest, Map) {
  const std::pair<int, int> cases[] = {{0, 5}, {1, 5}, {4, 5}, {16, 5}, {2, 3}, {3, 21},
                                       {5, 8}, {6, 2}, {15, 2}, {17, 2}, {255, 2}};
  for (auto [in, out] : cases) {
    EXPECT_EQ(lyra_discovery_device_type(static_cast<std::uint8_t>(in)), out) << in;
  }
}

}  // namespace
}  // namespace sonvale::mdns
