#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/error.h"
#include "core/event_sink.h"
#include "discovery/advertisement.h"
#include "protocol/control_hub.h"
#include "protocol/receiver_command.h"
#include "receiver_config.h"

namespace sonvale {

// A cheap handle through which any thread sends commands and volume to the phone and stops the
// receiver.
class ReceiverController {
 public:
  ReceiverController(ControlHub hub, std::shared_ptr<std::atomic<bool>> stop_flag)
      : hub_(std::move(hub)), stop_flag_(std::move(stop_flag)) {}

  // Sends the command and waits up to 3 s for the phone to confirm it; only errors come back.
  [[nodiscard]] Result<> send(ReceiverCommand command) const;
  [[nodiscard]] Result<> set_volume(std::uint8_t percent) const;
  // Sets the stop flag and shuts every control session down (advancing the media generation).
  void stop() const;

  const ControlHub& hub() const { return hub_; }

 private:
  ControlHub hub_;
  std::shared_ptr<std::atomic<bool>> stop_flag_;
};

// The running receiver. Destroying it stops it: the stop flag is set, the control sessions are
// shut down, then the advertisement is released (which waits for the discovery thread).
class ZeDidiReceiver {
 public:
  // Starts the control server, the Lyra server and the advertisement, in that order, and emits
  // "zedidi_lan_removed" and "receiver_ready". Undoes what it started when a step fails.
  [[nodiscard]] static Result<std::unique_ptr<ZeDidiReceiver>> start(ReceiverConfig config,
                                                                     const EventSink& events);
  ~ZeDidiReceiver();
  ZeDidiReceiver(const ZeDidiReceiver&) = delete;
  ZeDidiReceiver& operator=(const ZeDidiReceiver&) = delete;

  ReceiverController controller() const { return controller_; }
  std::uint16_t lyra_port() const { return lyra_port_; }

 private:
  ZeDidiReceiver(std::optional<mdns::ZeDidiAdvertisement> advertisement, ReceiverController controller,
                 std::uint16_t lyra_port)
      : advertisement_(std::move(advertisement)),
        controller_(std::move(controller)),
        lyra_port_(lyra_port) {}

  std::optional<mdns::ZeDidiAdvertisement> advertisement_;
  ReceiverController controller_;
  std::uint16_t lyra_port_;
};

}  // namespace sonvale
