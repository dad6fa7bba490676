#include "discovery/advertisement.h"

#include "discovery/identity.h"

namespace sonvale {

Result<ZeDidiAdvertisement> ZeDidiAdvertisement::register_advertisement(
    const std::string& name, const std::string& lyra_instance_id,
    const std::string& idm_instance_id, const std::string& media_device_id,
    std::uint8_t device_type, Ipv4 address, const std::string& interface_name,
    std::uint8_t multicast_loopback, EventSink events) {
  (void)name;
  (void)idm_instance_id;
  (void)media_device_id;
  (void)device_type;
  (void)interface_name;
  (void)multicast_loopback;
  (void)events;
  ZeDidiAdvertisement ad;
  ad.service_name_ = lyra_instance_label(lyra_instance_id, address) + "._lyra-mdns._udp.local.";
  ad.stop_flag_ = std::make_shared<std::atomic<bool>>(false);
  return ad;
}

ZeDidiAdvertisement::~ZeDidiAdvertisement() { stop(); }

void ZeDidiAdvertisement::stop() {
  if (stop_flag_) stop_flag_->store(true, std::memory_order_seq_cst);
  if (thread_.joinable()) thread_.join();
}

}  // namespace sonvale
