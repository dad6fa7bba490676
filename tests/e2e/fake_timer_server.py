"""A phone's UDP timer server for tests, with a configurable clock and configurable faults.

Requests and replies are 40 bytes, little-endian. A request carries the originate time in bytes
0-7 and a sequence number in bytes 32-35. A reply echoes the originate time in bytes 0-7 and
carries the server's transmit time (T3) in bytes 16-23, its receive time (T2) in bytes 24-31 and
the request's sequence number in bytes 32-35.

The server's clock in microseconds is

    offset_us + (monotonic - epoch) * (1 + drift_ppm / 1e6)

where monotonic is CLOCK_MONOTONIC (the clock the receiver's steady clock reads on Linux) and
epoch is the server's start unless given.

Use it in-process (``FakeTimerServer``) or as a process::

    /usr/bin/python3 fake_timer_server.py [--offset-us N] [--drift-ppm X] ...

The process prints JSON lines on standard output: first
``{"event": "listening", "port": P, "epoch_ns": E}``, then
``{"event": "request", "sequence": S, "originate_us": T, "size": N}`` for every datagram it
receives (sequence and originate time are null for a datagram that is not 40 bytes). It reads JSON
lines on standard input, each an object of settings to change (the keyword arguments of
``FakeTimerServer.configure``), answers the n-th with ``{"event": "configured", "count": n}``
once applied (or ``bad_command`` with the same count), and exits when standard input ends.
"""

import argparse
import json
import random
import socket
import struct
import sys
import threading
import time

REQUEST_SIZE = 40

# Reply modes: what the server sends back for a request.
NORMAL = "normal"  # a correct 40-byte reply
WRONG_SEQUENCE = "wrong_sequence"  # a 40-byte reply echoing the previous sequence number
SHORT = "short"  # the first 39 bytes of a correct reply
LONG = "long"  # a correct reply followed by one more byte (41 bytes)
SILENT = "silent"  # no reply
DUPLICATE = "duplicate"  # the correct reply, sent twice
STRAY_FIRST = "stray_first"  # 39 bytes and a reply echoing the previous sequence, then the correct reply
MODES = (NORMAL, WRONG_SEQUENCE, SHORT, LONG, SILENT, DUPLICATE, STRAY_FIRST)


class FakeTimerServer:
    """One timer server on a UDP socket, served by a daemon thread.

    Settings (all changeable at any time through ``configure``):
      offset_us   server time minus monotonic time at the epoch
      drift_ppm   how much faster the server clock runs than the monotonic clock
      hold_us     time between stamping T2 and T3 (the receiver must take it off the round trip)
      jitter_us   largest random extra delay of a reply after T3 is stamped
      loss        probability that a request goes unanswered
      mode        one of MODES
    """

    def __init__(self, host="127.0.0.1", port=0, epoch_ns=None, seed=0, on_request=None, **settings):
        self._lock = threading.Lock()
        self._settings = dict(offset_us=0, drift_ppm=0.0, hold_us=0, jitter_us=0, loss=0.0, mode=NORMAL)
        self.configure(**settings)
        self.epoch_ns = time.monotonic_ns() if epoch_ns is None else epoch_ns
        self._random = random.Random(seed)
        self._on_request = on_request
        self._cv = threading.Condition()
        self.requests = []
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, port))
        self.address = self.sock.getsockname()
        self._stopped = False
        self._thread = threading.Thread(target=self._serve, name="fake-timer-server", daemon=True)

    def configure(self, **settings):
        unknown = set(settings) - {"offset_us", "drift_ppm", "hold_us", "jitter_us", "loss", "mode"}
        if unknown:
            raise ValueError(f"unknown timer server settings: {sorted(unknown)}")
        if "mode" in settings and settings["mode"] not in MODES:
            raise ValueError(f"unknown reply mode {settings['mode']!r}")
        with self._lock:
            self._settings.update(settings)

    def server_time_us(self, monotonic_ns=None):
        with self._lock:
            offset, drift = self._settings["offset_us"], self._settings["drift_ppm"]
        now = time.monotonic_ns() if monotonic_ns is None else monotonic_ns
        elapsed_us = (now - self.epoch_ns) / 1000.0
        return int(offset + elapsed_us * (1.0 + drift / 1e6))

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stopped = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._thread.join(timeout=5)
        self.sock.close()

    def wait_for_requests(self, count, timeout=10.0):
        """Waits until at least ``count`` datagrams have arrived; returns them."""
        with self._cv:
            self._cv.wait_for(lambda: len(self.requests) >= count, timeout)
            return list(self.requests)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _serve(self):
        while not self._stopped:
            try:
                data, peer = self.sock.recvfrom(2048)
            except OSError:
                return
            if self._stopped:
                return
            receive_us = self.server_time_us()
            self._answer(data, peer, receive_us)

    def _answer(self, data, peer, receive_us):
        request = {"sequence": None, "originate_us": None, "size": len(data)}
        if len(data) == REQUEST_SIZE:
            request["originate_us"] = struct.unpack_from("<q", data, 0)[0]
            request["sequence"] = struct.unpack_from("<I", data, 32)[0]
        with self._cv:
            self.requests.append(request)
            self._cv.notify_all()
        if self._on_request is not None:
            self._on_request(request)
        if request["sequence"] is None:
            return
        with self._lock:
            s = dict(self._settings)
        if s["mode"] == SILENT or self._random.random() < s["loss"]:
            return
        if s["hold_us"] > 0:
            time.sleep(s["hold_us"] / 1e6)
        transmit_us = self.server_time_us()
        sequence = request["sequence"]
        if s["mode"] == WRONG_SEQUENCE:
            sequence = (sequence - 1) & 0xFFFFFFFF
        reply = struct.pack("<qqqqII", request["originate_us"], 0, transmit_us, receive_us, sequence, 0)
        if s["mode"] == SHORT:
            reply = reply[:-1]
        elif s["mode"] == LONG:
            reply = reply + b"\0"
        datagrams = [reply]
        if s["mode"] == DUPLICATE:
            datagrams = [reply, reply]
        elif s["mode"] == STRAY_FIRST:
            stale = reply[:32] + struct.pack("<I", (sequence - 1) & 0xFFFFFFFF) + reply[36:]
            datagrams = [reply[:-1], stale, reply]
        if s["jitter_us"] > 0:
            time.sleep(self._random.uniform(0, s["jitter_us"]) / 1e6)
        for datagram in datagrams:
            try:
                self.sock.sendto(datagram, peer)
            except OSError:
                pass


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--offset-us", type=int, default=0)
    parser.add_argument("--drift-ppm", type=float, default=0.0)
    parser.add_argument("--hold-us", type=int, default=0)
    parser.add_argument("--jitter-us", type=int, default=0)
    parser.add_argument("--loss", type=float, default=0.0)
    parser.add_argument("--mode", choices=MODES, default=NORMAL)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    out_lock = threading.Lock()

    def emit(obj):
        with out_lock:
            sys.stdout.write(json.dumps(obj, separators=(",", ":")) + "\n")
            sys.stdout.flush()

    server = FakeTimerServer(
        host=args.host,
        port=args.port,
        seed=args.seed,
        on_request=lambda r: emit({"event": "request", **r}),
        offset_us=args.offset_us,
        drift_ppm=args.drift_ppm,
        hold_us=args.hold_us,
        jitter_us=args.jitter_us,
        loss=args.loss,
        mode=args.mode,
    )
    emit({"event": "listening", "port": server.address[1], "epoch_ns": server.epoch_ns})
    server.start()
    commands = 0
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        commands += 1
        try:
            server.configure(**json.loads(line))
            emit({"event": "configured", "count": commands})
        except (ValueError, TypeError) as e:
            emit({"event": "bad_command", "count": commands, "message": str(e)})
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
