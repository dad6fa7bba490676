"""Starts the harness_reader test executable and reads its JSON event lines."""

import json
import os
import socket
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def harness_path():
    if "HARNESS_READER" in os.environ:
        return os.environ["HARNESS_READER"]
    build = os.path.dirname(os.path.dirname(os.environ.get("RELVOX", os.path.join(ROOT, "build", "dev", "src", "relvox"))))
    return os.path.join(build, "tests", "harness_reader", "harness_reader")


class HarnessReader:
    """One run of the media reader on a TCP connection; standard output drained on a thread."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([harness_path(), *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.events = []
        self._cv = threading.Condition()
        self._eof = False
        threading.Thread(target=self._drain, daemon=True).start()
        self._stderr = []
        threading.Thread(target=lambda: self._stderr.extend(self.proc.stderr), daemon=True).start()

    def _drain(self):
        for line in self.proc.stdout:
            with self._cv:
                self.events.append(json.loads(line))
                self._cv.notify_all()
        with self._cv:
            self._eof = True
            self._cv.notify_all()

    def wait_event(self, name, timeout=20.0):
        deadline = time.monotonic() + timeout
        with self._cv:
            while True:
                for ev in self.events:
                    if ev.get("event") == name:
                        return ev
                left = deadline - time.monotonic()
                if self._eof or left <= 0:
                    raise AssertionError(f"no {name}; events: {self.events!r}; stderr: {b''.join(self._stderr)!r}")
                self._cv.wait(left)

    def named(self, name):
        with self._cv:
            return [e for e in self.events if e.get("event") == name]

    def connect(self):
        port = self.wait_event("harness_listening")["port"]
        return socket.create_connection(("127.0.0.1", port), timeout=10)

    def stop(self):
        try:
            self.proc.stdin.close()
        except (BrokenPipeError, ValueError):
            pass
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()
