#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/net.h"

namespace sonvale::testing {

// An interface list written by the test. Names map to indexes as the test says; an alias name
// ("eth0:1") maps to the index of the part before ":" unless listed itself, as Linux does.
class FakeInterfaces final : public InterfaceLister {
 public:
  FakeInterfaces& v4(std::string name, const char* address, const char* mask = "255.255.255.0",
                     std::optional<const char*> broadcast = std::nullopt) {
    InterfaceAddress a;
    a.name = std::move(name);
    a.v4 = *Ipv4::parse(address);
    a.netmask = *Ipv4::parse(mask);
    if (broadcast) a.broadcast = *Ipv4::parse(*broadcast);
    entries_.push_back(std::move(a));
    return *this;
  }
  FakeInterfaces& v6(std::string name, const char* address) {
    InterfaceAddress a;
    a.name = std::move(name);
    a.is_ipv6 = true;
    inet_pton(AF_INET6, address, &a.v6);
    entries_.push_back(std::move(a));
    return *this;
  }
  FakeInterfaces& index(std::string name, std::uint32_t idx) {
    indexes_[std::move(name)] = idx;
    return *this;
  }
  FakeInterfaces& failing() {
    failing_ = true;
    return *this;
  }

  Result<std::vector<InterfaceAddress>> list() const override {
    if (failing_) return fail(Error::msg("enumeration failed"));
    return entries_;
  }
  std::uint32_t index_of(std::string_view name) const override {
    if (name.find('\0') != std::string_view::npos) return 0;
    if (auto it = indexes_.find(std::string(name)); it != indexes_.end()) return it->second;
    const auto colon = name.find(':');
    if (colon == std::string_view::npos) return 0;
    auto it = indexes_.find(std::string(name.substr(0, colon)));
    return it == indexes_.end() ? 0 : it->second;
  }

 private:
  std::vector<InterfaceAddress> entries_;
  std::map<std::string, std::uint32_t, std::less<>> indexes_;
  bool failing_ = false;
};

inline in6_addr v6_addr(const char* text) {
  in6_addr a{};
  inet_pton(AF_INET6, text, &a);
  return a;
}

}  // namespace sonvale::testing
