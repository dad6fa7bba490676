// The registration binds UDP 0.0.0.0:5353, so these tests run one at a time with the other
// fixed-port tests, in a network namespace of their own.

#include "discovery/advertisement.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

#include "support/fake_clock.h"
#include "support/fake_interfaces.h"
#include "support/recording_sink.h"

namespace sonvale::mdns {
namespace {

using namespace std::chrono_literals;

AdvertisementParams kitchen() {
  AdvertisementParams p;
  p.name = "Kitchen";
  p.lyra_instance_id = "a1b2c3d4";
  p.idm_instance_id = "abc";
  p.media_device_id = "aa:bb:cc:dd:ee:ff";
  p.device_type = 3;
  p.address = Ipv4::loopback();
  p.interface_name = "";
  return p;
}

std::shared_ptr<testing::FakeInterfaces> loopback_list() {
  auto f = std::make_shared<testing::FakeInterfaces>();
  f->v4("lo", "127.0.0.1", "255.0.0.0").v6("lo", "::1").index("lo", 1);
  return f;
}

std::vector<std::string> names(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e["event"]);
  return out;
}

TEST(AdvertisementTest, RegistersReportsAndSaysGoodbyeBeforeTheDropReturns) {
  testing::RecordingSink sink;
  DiscoverySeams seams{testing::make_fake_clock(), loopback_list()};
  auto ad = ZeDidiAdvertisement::register_advertisement(kitchen(), sink.sink(), seams);
  ASSERT_TRUE(ad) << ad.error().to_string();
  EXPECT_EQ(ad->service_name(), "A1B2C3D4._lyra-mdns._udp.local.");
  const auto first = sink.events();
  ASSERT_GE(first.size(), 2u);
  EXPECT_EQ(first[0], Json::parse(R"({"event":"discovery_interface_inventory","protocol":"xiaomi_zedidi",
      "requested_address":"127.0.0.1","requested_interface":"","selected_link_local_v6":null,
      "selected_mi_connect_ipv6":null,"interfaces":[
        {"name":"lo","index":1,"address":"127.0.0.1","link_local_v6":false},
        {"name":"lo","index":1,"address":"::1","link_local_v6":false}]})"));
  EXPECT_EQ(first[1], Json::parse(R"({"event":"discovery_identity_ready","protocol":"xiaomi_zedidi",
      "identity_mode":"local_unlogged","did_hash":"ungWv48Bz-pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0",
      "id_hash":"ung","instance_suffix":"ungWv48Bz-","service_id":"ung5","mi_connect_device_type":3,
      "lyra_discovery_device_type":21,"account_required":false,"vendor_service_required":false})"));
  ASSERT_TRUE(sink.wait_for([](const Json& e) {
    return e["event"] == "discovery_announcement" && e["round"] == 3 &&
           e["service"] == "_mi-connect._udp.local.";
  }));
  ad->stop();
  const auto all = sink.events();
  EXPECT_EQ(sink.named("discovery_goodbye").size(), 6u);
  // Nothing of the discovery thread or its browsers comes after the drop returned (a browser
  // may still report between the goodbyes and its join).
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.events().size(), all.size());
  // The responder's own last word is a goodbye.
  std::vector<std::string> responder;
  for (const auto& name : names(all)) {
    if (name.rfind("discovery_peer_", 0) != 0) responder.push_back(name);
  }
  ASSERT_FALSE(responder.empty());
  EXPECT_EQ(responder.back(), "discovery_goodbye");
}

TEST(AdvertisementTest, ExclusiveHolderOfThePortFailsTheRegistrationWithTheBindStep) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(holder, 0);
  const sockaddr_in any = SocketAddrV4{Ipv4::unspecified(), 5353}.to_sockaddr();
  ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
  testing::RecordingSink sink;
  auto ad = ZeDidiAdvertisement::register_advertisement(kitchen(), sink.sink(),
                                                        {testing::make_fake_clock(), loopback_list()});
  ::close(holder);
  ASSERT_FALSE(ad);
  EXPECT_EQ(ad.error().to_string(),
            "bind ZeDidi discovery socket to 0.0.0.0:5353: Address already in use (os error 98)");
  EXPECT_EQ(names(sink.events()),
            (std::vector<std::string>{"discovery_interface_inventory", "discovery_identity_ready"}));
}

TEST(AdvertisementTest, ManyRegisterAndDropCycles) {
  testing::RecordingSink sink;
  for (int i = 0; i < 50; ++i) {
    auto ad = ZeDidiAdvertisement::register_advertisement(kitchen(), sink.sink(),
                                                          {testing::make_fake_clock(), loopback_list()});
    ASSERT_TRUE(ad) << i << ": " << ad.error().to_string();
    if (i % 10 == 0) std::this_thread::sleep_for(20ms);  // some drops land mid-announcement
  }
  EXPECT_EQ(sink.named("discovery_goodbye").size(), 50u * 6);
  EXPECT_EQ(sink.named("discovery_publication_profile").size(), 50u);
}

}  // namespace
}  // namespace sonvale::mdns
