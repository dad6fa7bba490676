"""Starts the real relvox binary and reads its JSON event lines."""

import json
import os
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_BIN = os.path.join(ROOT, "build", "dev", "src", "relvox")


def relvox_path():
    return os.environ.get("RELVOX", DEFAULT_BIN)


class Relvox:
    """One relvox process (subclasses start test harnesses that print the same kind of event
    lines). Standard output is drained continuously on a thread, so a test never stalls the
    receiver; every line is kept raw, parsed, and with the monotonic time it was read at."""

    def __init__(self, *args, stdin_data=None, prefix=(), **popen):
        """`prefix` runs relvox through another command (nsenter into a network namespace);
        `popen`: further arguments of subprocess.Popen (an environment, a preexec_fn)."""
        self._spawn([*prefix, relvox_path(), *args], **popen)
        if stdin_data is not None:
            try:
                self.proc.stdin.write(stdin_data)
                self.proc.stdin.close()
            except BrokenPipeError:
                pass  # the process ended without reading its input

    def _spawn(self, argv, **popen):
        """Starts `argv` and the threads that drain its standard output and error."""
        self.proc = subprocess.Popen(
            [a if isinstance(a, (bytes, str)) else str(a) for a in argv],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            **popen,
        )
        self.raw_lines = []
        self.events = []
        self.arrivals = []  # time.monotonic() at which each event was read
        self._cv = threading.Condition()
        self._eof = False
        self._stderr = []
        self._reader = threading.Thread(target=self._drain, daemon=True)
        self._reader.start()
        threading.Thread(target=self._drain_stderr, daemon=True).start()

    def _request_stop(self):
        """What asks the process to end by itself; subclasses for other binaries replace it."""
        self.send({"command": "stop"})

    def _drain(self):
        # Created here, not in __init__, so that subclasses with their own __init__ have it too.
        self._counts = {}
        for line in self.proc.stdout:
            arrival = time.monotonic()
            with self._cv:
                self.raw_lines.append(line)
                event = json.loads(line.decode("utf-8"))
                self.events.append(event)
                self.arrivals.append(arrival)
                name = event.get("event") if isinstance(event, dict) else None
                self._counts[name] = self._counts.get(name, 0) + 1
                self._cv.notify_all()
        with self._cv:
            self._eof = True
            self._cv.notify_all()

    def _drain_stderr(self):
        for line in self.proc.stderr:
            self._stderr.append(line)

    def stderr(self):
        return b"".join(self._stderr).decode("utf-8", "replace")

    def send_line(self, line):
        if isinstance(line, str):
            line = line.encode("utf-8")
        if not line.endswith(b"\n"):
            line += b"\n"
        self.proc.stdin.write(line)
        self.proc.stdin.flush()

    def send(self, obj):
        self.send_line(json.dumps(obj))

    def close_stdin(self):
        self.proc.stdin.close()

    def wait_for(self, pred, timeout=5.0, what="event", start=0):
        """Waits until an event from index `start` on satisfies `pred`; returns it or fails with
        what was seen."""
        deadline = time.monotonic() + timeout
        with self._cv:
            seen = start
            while True:
                for ev in self.events[seen:]:
                    if pred(ev):
                        return ev
                seen = len(self.events)
                left = deadline - time.monotonic()
                if self._eof or left <= 0:
                    raise AssertionError(
                        f"no {what} within {timeout}s; events: {self.events!r}; stderr: {self.stderr()}"
                    )
                self._cv.wait(left)

    def wait_event(self, name, timeout=5.0, **match):
        return self.wait_for(
            lambda e: e.get("event") == name and all(e.get(k) == v for k, v in match.items()),
            timeout,
            what=f"{name} {match}",
        )

    def wait_count(self, name, count, timeout=10.0):
        """Waits until `count` events named `name` have arrived in all."""
        with self._cv:
            def seen():
                return getattr(self, "_counts", {}).get(name, 0)

            if not self._cv.wait_for(lambda: seen() >= count or self._eof, timeout) or seen() < count:
                raise AssertionError(f"{seen()} of {count} {name} events")

    def named(self, name):
        with self._cv:
            return [e for e in self.events if e.get("event") == name]

    def wait_exit(self, timeout=10.0):
        code = self.proc.wait(timeout)
        self._reader.join(timeout)
        return code

    def stop(self):
        if self.proc.poll() is None:
            try:
                self._request_stop()
                self.close_stdin()
            except (BrokenPipeError, ValueError):
                pass
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
