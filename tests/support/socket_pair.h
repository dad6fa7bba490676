#pragma once

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "core/net.h"

namespace sonvale::testing {

// A connected local stream socket pair (close-on-exec): `ours` for the code under test, `theirs`
// for the test playing the peer. A refusal by the system fails the test.
struct SocketPair {
  Fd ours;
  Fd theirs;
};

inline SocketPair socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return SocketPair{Fd(fds[0]), Fd(fds[1])};
}

}  // namespace sonvale::testing
