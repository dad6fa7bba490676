#pragma once

// INTERIM: the receiver's shared control state, reduced to what the receiver start and stop
// need until the control protocol lands: the socket registry, the media generation counter, the
// receiver volume and the output-suspended flag. Playback commands and volume changes fail with
// "no active Xiaomi ZeDidi source", since no phone can become the active source yet.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "core/error.h"
#include "core/net.h"

namespace sonvale {

struct RemoteCommandOutcome {
  bool dispatched = false;
  bool confirmed = false;
};

class ControlHub {
 public:
  explicit ControlHub(std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume);

  // Keeps a duplicate of the connection's socket so that shutdown_sessions can wake it.
  [[nodiscard]] Result<> register_session(std::uint64_t session_id, const Fd& connection) const;
  void deactivate(std::uint64_t session_id) const;
  // Advances the media generation, shuts down and closes every registered socket.
  void shutdown_sessions() const;

  [[nodiscard]] Result<RemoteCommandOutcome> send_confirmed(std::uint8_t command,
                                                            std::uint64_t value,
                                                            std::chrono::milliseconds timeout) const;
  [[nodiscard]] Result<> set_volume(std::uint8_t percent) const;

  const std::shared_ptr<std::atomic<std::uint64_t>>& media_generation() const {
    return media_generation_;
  }
  const std::shared_ptr<std::atomic<std::uint32_t>>& receiver_volume() const {
    return receiver_volume_;
  }
  const std::shared_ptr<std::atomic<bool>>& output_suspended() const { return output_suspended_; }

 private:
  struct SocketRegistry {
    std::mutex mu;
    std::map<std::uint64_t, Fd> sockets;
  };

  std::shared_ptr<SocketRegistry> session_sockets_;
  std::shared_ptr<std::atomic<std::uint64_t>> media_generation_;
  std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume_;
  std::shared_ptr<std::atomic<bool>> output_suspended_;
};

}  // namespace sonvale
