#include "core/clock.h"

namespace sonvale {
namespace {

class SystemClock final : public Clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
  wall_time_point wall_now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace

const std::shared_ptr<const Clock>& system_clock() {
  // Never destroyed: detached threads may still read it while the process exits.
  static const auto* clock = new std::shared_ptr<const Clock>(std::make_shared<SystemClock>());
  return *clock;
}

}  // namespace sonvale
