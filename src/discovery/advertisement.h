#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"

namespace sonvale {

// The receiver's multicast DNS advertisement. Dropping it stops its discovery thread and waits
// for it to end.
//
// INTERIM: until the responder lands, register only derives the Lyra service instance name;
// nothing is announced on the network and no thread runs.
class ZeDidiAdvertisement {
 public:
  [[nodiscard]] static Result<ZeDidiAdvertisement> register_advertisement(
      const std::string& name, const std::string& lyra_instance_id,
      const std::string& idm_instance_id, const std::string& media_device_id,
      std::uint8_t device_type, Ipv4 address, const std::string& interface_name,
      std::uint8_t multicast_loopback, EventSink events);

  ZeDidiAdvertisement(ZeDidiAdvertisement&&) noexcept = default;
  ZeDidiAdvertisement& operator=(ZeDidiAdvertisement&&) noexcept = default;
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

}  // namespace sonvale
