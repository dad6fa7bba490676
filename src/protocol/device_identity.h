#pragma once

#include <cstdint>
#include <string>

namespace sonvale {

// The receiver as the control protocol describes it to the phone.
struct DeviceIdentity {
  std::string id_code;  // the 3-character identity code
  std::string name;
  std::string model;
  std::string platform;
  std::uint8_t device_type = 0;
};

}  // namespace sonvale
