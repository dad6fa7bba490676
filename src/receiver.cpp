#include "receiver.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "discovery/identity.h"
#include "lyra/lyra_server.h"
#include "media/media_session.h"
#include "protocol/control_server.h"

namespace sonvale {

Result<> ReceiverController::send(ReceiverCommand command) const {
  const std::uint64_t value = command.code == ReceiverCommand::kSeek ? command.position_ms : 0;
  SV_TRY(hub_.send_confirmed(command.code, value, std::chrono::seconds(3)));
  return {};
}

Result<> ReceiverController::set_volume(std::uint8_t percent) const {
  return hub_.set_volume(percent);
}

void ReceiverController::stop() const {
  stop_flag_->store(true, std::memory_order_release);
  hub_.shutdown_sessions();
}

Result<std::unique_ptr<ZeDidiReceiver>> ZeDidiReceiver::start(ReceiverConfig config,
                                                              const EventSink& events) {
  auto volume = std::make_shared<std::atomic<std::uint32_t>>(std::min<std::uint32_t>(
      config.volume_percent, 100));
  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  // The one clock every part of the receiver measures on.
  const std::shared_ptr<const Clock>& clock = system_clock();

  DeviceIdentity device;
  device.id_code = mdns::idm_identity(config.identity.idm_instance_id).code3;
  device.name = config.name;
  device.model = config.model;
  device.platform = config.platform;
  device.device_type = config.device_type;

  SV_ASSIGN_OR_RETURN(
      ControlHub hub,
      start_control_server(
          config.address, std::move(device), config.output_device, volume, stop_flag, events,
          [sessions = RtspSessions()](RtspLaunch launch) { sessions.start(std::move(launch)); },
          clock));

  LyraServerParams lyra;
  lyra.address = SocketAddrV4{config.address, kLyraPort};
  lyra.device = lyra::LyraDevice{config.identity.lyra_instance_id, config.name, config.platform,
                                 config.device_type, kControlPort};
  lyra.clock = clock;
  lyra.stop_flag = stop_flag;
  lyra.events = events;
  auto lyra_port = start_lyra_server(std::move(lyra));
  if (!lyra_port) {
    stop_flag->store(true, std::memory_order_release);
    return fail(std::move(lyra_port).error());
  }

  events(Json{{"event", "zedidi_lan_removed"},
              {"protocol", "xiaomi_zedidi"},
              {"reason", "query_scoped_lyra_and_mi_connect_without_legacy_lan_tv"}});

  mdns::AdvertisementParams announced;
  announced.name = config.name;
  announced.lyra_instance_id = config.identity.lyra_instance_id;
  announced.idm_instance_id = config.identity.idm_instance_id;
  announced.media_device_id = config.media_device_id_override.value_or(config.identity.media_device_id);
  announced.device_type = config.device_type;
  announced.address = config.address;
  announced.interface_name = config.interface;
  announced.multicast_loopback = config.multicast_loopback;
  auto advertisement = mdns::ZeDidiAdvertisement::register_advertisement(
      announced, events, mdns::DiscoverySeams{.clock = clock, .interfaces = system_interfaces()});
  if (!advertisement) {
    stop_flag->store(true, std::memory_order_release);
    return fail(std::move(advertisement).error());
  }

  events(Json{
      {"address", config.address.to_string()},
      {"device_type", config.device_type},
      {"event", "receiver_ready"},
      {"external_service_required", false},
      {"identity_provenance", "local_system"},
      {"implementation", "quarnet_cross_platform_rust_sdk"},
      {"interface", config.interface},
      {"legacy_lan_discovery", false},
      {"lyra_instance_id", config.identity.lyra_instance_id},
      {"mdns_service", advertisement->service_name()},
      {"media_device_id", config.identity.media_device_id},
      {"name", config.name},
      {"network_scope", "local_subnet"},
      {"official_wired_support", "undocumented"},
      {"output_device", config.output_device ? Json(*config.output_device) : Json(nullptr)},
      {"platform", config.platform},
      {"playable", false},
      {"port", *lyra_port},
      {"protocol", "xiaomi_zedidi_v3"},
      {"vendor_attestation_verified", false},
  });

  return std::unique_ptr<ZeDidiReceiver>(new ZeDidiReceiver(
      std::move(*advertisement), ReceiverController(std::move(hub), std::move(stop_flag)),
      *lyra_port));
}

ZeDidiReceiver::~ZeDidiReceiver() {
  controller_.stop();
  // The advertisement goes first: its release waits for the discovery thread's goodbyes.
  advertisement_.reset();
}

}  // namespace sonvale
