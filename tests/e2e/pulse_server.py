"""A PulseAudio server of one test alone: a child process with its own home and runtime
directory and a 48 kHz null sink, whose monitor `parec` records. The environment of the test
(and of every process it starts) points at it while it runs."""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import numpy as np

SINK = "sonvale_test"


def _die_with_parent():
    # The server ends with the test process, even when that one is killed.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class PulseServer:
    def __init__(self, monkeypatch):
        # A short path: the server's socket lives below it, and socket paths are limited.
        self.dir = tempfile.mkdtemp(prefix="/tmp/sv-pulse-")
        for sub in ("home", "runtime"):
            os.makedirs(os.path.join(self.dir, sub))
        monkeypatch.setenv("HOME", os.path.join(self.dir, "home"))
        monkeypatch.setenv("XDG_RUNTIME_DIR", os.path.join(self.dir, "runtime"))
        monkeypatch.setenv("XDG_CONFIG_HOME", os.path.join(self.dir, "home"))
        monkeypatch.delenv("PULSE_SERVER", raising=False)
        self.proc = None
        self.running = False
        if not shutil.which("pulseaudio"):
            return
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false", "--log-level=error",
             "-L", "module-native-protocol-unix",
             "-L", f"module-null-sink sink_name={SINK} rate=48000 sink_properties=device.description=SonvaleTestSink"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.proc.poll() is None:
            if subprocess.run(["pactl", "info"], capture_output=True).returncode == 0:
                self.running = True
                return
            time.sleep(0.05)  # the server has not opened its socket yet

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class MonitorRecorder:
    """Records the sink's monitor as interleaved stereo float32 at 48 kHz on a thread."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["parec", "-d", f"{SINK}.monitor", "--rate=48000", "--channels=2", "--format=float32le", "--raw",
             "--latency-msec=20"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.data = bytearray()
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, daemon=True)
        self._thread.start()

    def _read(self):
        while True:
            chunk = self.proc.stdout.read1(65536)
            if not chunk:
                return
            with self._lock:
                self.data += chunk

    def recorded(self):
        with self._lock:
            n = len(self.data) // 8 * 8
            return np.frombuffer(bytes(self.data[:n]), dtype="<f4").reshape(-1, 2)

    def wait_for_signal(self, level, frames, skip=4800, timeout=10.0):
        """The left channel of `frames` frames from `skip` frames after the first sample louder
        than `level`, once they have been recorded; None on time-out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            left = self.recorded()[:, 0]
            loud = np.flatnonzero(np.abs(left) > level)
            if loud.size and len(left) >= loud[0] + skip + frames:
                return left[loud[0] + skip:loud[0] + skip + frames]
            time.sleep(0.05)  # parec delivers in small blocks
        return None

    def stop(self):
        self.proc.terminate()
        self.proc.wait(5)
        self._thread.join(5)
