#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/net.h"

namespace sonvale {

// The three ids under which the receiver is known.
struct ReceiverIdentity {
  std::string idm_instance_id;
  std::string lyra_instance_id;
  std::string media_device_id;
};

// The one value from which the receiver is started.
struct ReceiverConfig {
  std::string name;
  ReceiverIdentity identity;
  std::string interface;
  std::string model = "Mac";
  std::string platform = "macOS";
  std::optional<std::string> media_device_id_override;
  // "stream:<host>:<port>" selects the PCM stream; any other text names an audio device.
  std::optional<std::string> output_device;
  Ipv4 address;
  std::uint32_t volume_percent = 50;
  std::uint8_t multicast_loopback = 0;
  std::uint8_t device_type = 3;

  static ReceiverConfig make(std::string name, ReceiverIdentity identity, Ipv4 address,
                             std::string interface);
  // Replaces the output device by `device` unchanged when it holds anything but whitespace,
  // otherwise clears it.
  static ReceiverConfig with_output_device(ReceiverConfig config, std::optional<std::string> device);
};

}  // namespace sonvale
