#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"

namespace sonvale::mdns {

// What the receiver start hands to the registration, from its configuration.
struct AdvertisementParams {
  std::string name;  // the receiver name, not yet sanitised
  std::string lyra_instance_id;
  std::string idm_instance_id;
  std::string media_device_id;  // the override when configured, else the identity's
  std::uint8_t device_type = 3;
  Ipv4 address;
  std::string interface_name;  // may be empty
  std::uint8_t multicast_loopback = 0;  // 0 off, anything else on
};

// The seams discovery runs on. `clock` is never null.
struct DiscoverySeams {
  std::shared_ptr<const Clock> clock;
  std::shared_ptr<const InterfaceLister> interfaces = system_interfaces();
};

// The receiver's multicast DNS advertisement: the discovery thread "sonvale-lyra-discovery"
// that announces the Lyra and Mi Connect records on UDP 5353, answers queries for them and runs
// the Lyra peer browsers. Destroying the handle sets its stop flag and waits until the thread
// has sent its goodbyes and ended.
class ZeDidiAdvertisement {
 public:
  // Selects the interface, emits "discovery_interface_inventory" and "discovery_identity_ready",
  // builds both packets, opens the socket on 0.0.0.0:5353 and starts the thread. A failing step
  // fails with its context; nothing is left running then.
  [[nodiscard]] static Result<ZeDidiAdvertisement> register_advertisement(
      const AdvertisementParams& params, EventSink events, DiscoverySeams seams);

  ZeDidiAdvertisement(ZeDidiAdvertisement&&) noexcept = default;
  // Assigning over a running advertisement would have to stop it first; not offered.
  ZeDidiAdvertisement& operator=(ZeDidiAdvertisement&&) = delete;
  ~ZeDidiAdvertisement();

  // The Lyra label, "." and "_lyra-mdns._udp.local.".
  const std::string& service_name() const { return service_name_; }

  // Sets the stop flag and joins the discovery thread; later calls do nothing.
  void stop();

 private:
  ZeDidiAdvertisement() = default;

  std::string service_name_;
  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::thread thread_;
};

}  // namespace sonvale::mdns
