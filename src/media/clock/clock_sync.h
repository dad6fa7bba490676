#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "core/event_sink.h"
#include "core/net.h"
#include "media/clock/presentation_clock.h"
#include "media/session_context.h"

namespace sonvale {

// What the clock synchronisation thread is given.
// The thread reads the session's events, `session_alive`, the gate's blocked flag,
// `play_received` and the presentation clock, the one clock it moves.
struct TimerSyncInputs {
  SocketAddrV4 server;
  SessionShared shared;
  SessionToken token;
};

// Starts the detached clock synchronisation thread "sonvale-clock-sync" running clock_sync_main
// against the phone's timer server. Returns at once; a failure to start the thread is dropped.
void spawn_timer_synchronizer(TimerSyncInputs inputs);

// Pacing of the thread; the defaults are the production values, tests shorten them.
struct ClockSyncTiming {
  std::chrono::milliseconds io_timeout{350};  // read and write time-out of one exchange
  std::chrono::milliseconds hold_sleep{100};  // between checks while playback is held
  std::chrono::milliseconds pause_step{100};  // one step of the pause between rounds
  int pause_steps = 50;
  std::chrono::milliseconds sample_pause{10};  // after every accepted sample
  std::uint32_t initial_sequence = 0;          // the first request carries this plus one
};

// The thread body: binds a UDP socket, connects it to the timer server, then runs rounds of ten
// exchanges, feeds each round to a TimerClockEstimator, moves the presentation clock with every
// estimate and reports "clock_synchronized". Holds while `blocked` is set; returns quietly once
// `session_alive` is false or the generation has moved on. Bind and connect failures are
// reported as "error" events and end the thread. Runs on the calling thread; the only writer of
// the clock's mapping.
void clock_sync_main(TimerSyncInputs inputs, ClockSyncTiming timing = {});

}  // namespace sonvale
