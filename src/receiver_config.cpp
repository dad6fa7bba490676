#include "receiver_config.h"

#include <utility>

#include "core/text.h"

namespace sonvale {

ReceiverConfig ReceiverConfig::make(std::string name, ReceiverIdentity identity, Ipv4 address,
                                    std::string interface) {
  ReceiverConfig c;
  c.name = std::move(name);
  c.identity = std::move(identity);
  c.address = address;
  c.interface = std::move(interface);
  return c;
}

ReceiverConfig ReceiverConfig::with_output_device(ReceiverConfig config,
                                                  std::optional<std::string> device) {
  if (device && !is_blank(*device)) {
    config.output_device = std::move(device);
  } else {
    config.output_device.reset();
  }
  return config;
}

}  // namespace sonvale
