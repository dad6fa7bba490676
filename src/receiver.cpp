#include "receiver.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "discovery/identity.h"
#include "lyra/lyra_server.h"
#include "media/media_session.h"
#include "protocol/control_server.h"
#include "receiver_events.h"

namespace sonvale {

MediaLauncher media_launcher(std::shared_ptr<const MediaConfig> media,
                             std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                             EventSink events, std::function<void(RtspLaunch)> start) {
  return [media = std::move(media), receiver_volume = std::move(receiver_volume),
          events = std::move(events), start = std::move(start)](CastOpen open) {
    start(RtspLaunch{
        .params = {.rtsp_ip = open.rtsp_ip,
                   .rtsp_port = open.rtsp_port,
                   .keys = std::move(open.keys),
                   .media = media,
                   .token = std::move(open.token)},
        .gate = std::move(open.gate),
        .receiver_volume = receiver_volume,
        .events = events,
    });
  };
}

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
      ControlServer control,
      start_control_server(ControlServerParams{
          .address = SocketAddrV4{config.address, kControlPort},
          .identity = std::move(device),
          .receiver_volume = volume,
          .stop_flag = stop_flag,
          .events = events,
          .clock = clock,
          .launcher = media_launcher(
              MediaConfig::resolve(config.output_device, clock), volume, events,
              [sessions = RtspSessions()](RtspLaunch launch) { sessions.start(std::move(launch)); }),
      }));
  ControlHub hub = std::move(control.hub);

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

  events(lan_removed_event());

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

  events(receiver_ready_event(config, advertisement->service_name(), *lyra_port));

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
