"""A second network namespace joined to the test's own by a veth pair.

relvox runs in the peer namespace ("the receiver's side") on 10.77.0.1/24 (broadcast 10.77.0.255)
and fe80::1 (added with nodad, so it is usable at once); the test stays in its own namespace on
10.77.0.2/24 and fe80::2, where nothing but the test's sockets listens on 5353. The test also holds
10.88.0.2, an address outside the receiver's subnet (the receiver routes it back via 10.77.0.2),
for sources that are not on the receiver's link, and 10.77.0.3, a second host of the link (a
victim whose address forged datagrams claim, apart from the test's own sockets)."""

import os
import shutil
import socket
import subprocess
import time

RECEIVER_V4 = "10.77.0.1"
TEST_V4 = "10.77.0.2"
BROADCAST_V4 = "10.77.0.255"
OFF_LINK_V4 = "10.88.0.2"
SECOND_V4 = "10.77.0.3"
RECEIVER_LL = "fe80::1"
TEST_LL = "fe80::2"
RECEIVER_IF = "svb"
TEST_IF = "sva"


def available():
    """Whether namespaces and veth pairs can be made here (root in a private namespace)."""
    if os.geteuid() != 0 or not shutil.which("nsenter") or not shutil.which("ip"):
        return False
    return subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode == 0


def _ip(*args, ns_pid=None):
    cmd = ["ip", *args]
    if ns_pid is not None:
        cmd = ["nsenter", "-t", str(ns_pid), "-n", *cmd]
    subprocess.run(cmd, check=True, capture_output=True)


class NetPair:
    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "3600"])
        deadline = time.monotonic() + 5
        own = os.readlink("/proc/self/ns/net")
        while os.readlink(f"/proc/{self.holder.pid}/ns/net") == own:
            if time.monotonic() > deadline:
                raise RuntimeError("peer namespace did not appear")
            time.sleep(0.01)
        pid = self.holder.pid
        _ip("link", "add", TEST_IF, "type", "veth", "peer", "name", RECEIVER_IF, "netns", str(pid))
        for ns, dev, v4, ll in ((None, TEST_IF, TEST_V4, TEST_LL), (pid, RECEIVER_IF, RECEIVER_V4, RECEIVER_LL)):
            _ip("link", "set", dev, "addrgenmode", "none", ns_pid=ns)
            _ip("addr", "add", v4 + "/24", "brd", "+", "dev", dev, ns_pid=ns)
            _ip("-6", "addr", "add", ll + "/64", "dev", dev, "nodad", ns_pid=ns)
            _ip("link", "set", dev, "up", ns_pid=ns)
        _ip("link", "set", "lo", "up", ns_pid=pid)
        _ip("addr", "add", OFF_LINK_V4 + "/32", "dev", TEST_IF)
        _ip("addr", "add", SECOND_V4 + "/32", "dev", TEST_IF)
        _ip("route", "add", "10.88.0.0/24", "via", TEST_V4, ns_pid=pid)
        self.test_index = socket.if_nametoindex(TEST_IF)

    def prefix(self):
        """The command prefix that runs a program in the receiver's namespace."""
        return ["nsenter", "-t", str(self.holder.pid), "-n"]

    def receiver_index(self):
        out = subprocess.run([*self.prefix(), "ip", "-o", "link", "show", RECEIVER_IF],
                             capture_output=True, text=True, check=True).stdout
        return int(out.split(":", 1)[0])

    def close(self):
        # Deleting one end deletes the pair at once; the namespace's own teardown is asynchronous.
        subprocess.run(["ip", "link", "del", TEST_IF], capture_output=True)
        self.holder.kill()
        self.holder.wait()
