"""A fake phone for media session tests: the RTSP server side of a Wi-Fi Display source on a
free loopback port, which also accepts the receiver's image and audio data connections."""

import os
import socket
import threading
import time

from relvox import ROOT, Relvox



def harness_path():
    """RTSP_SESSION_HARNESS, else the harness of the build that RELVOX comes from, else dev's."""
    if "RTSP_SESSION_HARNESS" in os.environ:
        return os.environ["RTSP_SESSION_HARNESS"]
    build = os.path.join(ROOT, "build", "dev")
    if "RELVOX" in os.environ:
        build = os.path.dirname(os.path.dirname(os.path.abspath(os.environ["RELVOX"])))
    return os.path.join(build, "tests", "harness_rtsp", "rtsp_session_harness")

USER_AGENT = "User-Agent: stagefright/1.1 (Linux;Android 4.1)"


class Message:
    """One RTSP message as it came off the wire."""

    def __init__(self, raw, start_line, headers, body, arrival):
        self.raw = raw
        self.start_line = start_line
        self.headers = headers  # lower-cased names, last one wins
        self.body = body
        self.arrival = arrival

    @property
    def is_response(self):
        return self.start_line.startswith("RTSP/")

    @property
    def method(self):
        return self.start_line.split(" ", 1)[0]

    @property
    def cseq(self):
        return self.headers.get("cseq")

    def __repr__(self):
        return f"Message({self.raw!r})"


def parse_messages(buf):
    """Splits complete messages off the front of `buf`; returns (messages, rest)."""
    out = []
    while True:
        end = buf.find(b"\r\n\r\n")
        if end < 0:
            return out, buf
        head = buf[:end].decode("utf-8")
        lines = head.split("\r\n")
        headers = {}
        for line in lines[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                headers[k.strip().lower()] = v.strip()
        length = int(headers.get("content-length", "0"))
        total = end + 4 + length
        if len(buf) < total:
            return out, buf
        out.append(Message(bytes(buf[:total]), lines[0], headers, bytes(buf[end + 4 : total]),
                           time.monotonic()))
        buf = buf[total:]


class PhoneConnection:
    """The phone's end of one RTSP connection. A thread reads and frames everything the
    receiver writes, so the receiver never blocks on a full socket."""

    def __init__(self, sock):
        self.sock = sock
        self.messages = []
        self.eof = False
        self._cv = threading.Condition()
        self._next_cseq = 1
        self._taken = set()  # indexes of messages a wait already returned
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                with self._cv:
                    self.eof = True
                    self._cv.notify_all()
                return
            msgs, buf = parse_messages(buf + data)
            with self._cv:
                self.messages.extend(msgs)
                self._cv.notify_all()

    def send_raw(self, data):
        self.sock.sendall(data)

    def request(self, method, uri="rtsp://localhost/wfd1.0", headers=(), body=b"", cseq=None):
        """Sends a request and returns its CSeq text."""
        if cseq is None:
            cseq = str(self._next_cseq)
            self._next_cseq += 1
        if isinstance(body, str):
            body = body.encode("utf-8")
        lines = [f"{method} {uri} RTSP/1.0", f"CSeq: {cseq}", *headers]
        if body:
            lines.append("Content-Type: text/parameters")
            lines.append(f"Content-Length: {len(body)}")
        self.send_raw(("\r\n".join(lines) + "\r\n\r\n").encode("utf-8") + body)
        return cseq

    def respond(self, cseq, status="200 OK", headers=()):
        lines = [f"RTSP/1.0 {status}", f"CSeq: {cseq}", *headers]
        self.send_raw(("\r\n".join(lines) + "\r\n\r\n").encode("utf-8"))

    def wait(self, pred, timeout=5.0, what="message"):
        """The first message that satisfies `pred` and no earlier wait returned."""
        deadline = time.monotonic() + timeout
        with self._cv:
            while True:
                for i, m in enumerate(self.messages):
                    if i not in self._taken and pred(m):
                        self._taken.add(i)
                        return m
                left = deadline - time.monotonic()
                if left <= 0 or self.eof:
                    raise AssertionError(f"no {what} within {timeout}s; got {self.messages!r}, eof={self.eof}")
                self._cv.wait(left)

    def reply_to(self, cseq, timeout=5.0):
        return self.wait(lambda m: m.is_response and m.cseq == cseq, timeout, f"reply to CSeq {cseq}")

    def receiver_request(self, method, timeout=5.0):
        return self.wait(lambda m: not m.is_response and m.method == method, timeout, f"{method} request")

    def all_requests(self, method):
        with self._cv:
            return [m for m in self.messages if not m.is_response and m.method == method]

    def wait_eof(self, timeout=5.0):
        deadline = time.monotonic() + timeout
        with self._cv:
            while not self.eof:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self._cv.wait(left)
            return True

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the reading thread
            self.sock.close()
        except OSError:
            pass


class FakePhone:
    """Listens on 127.0.0.1 at a free port: the first connection is the RTSP session, the
    following ones the data connections."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.opened = []

    def accept(self, timeout=5.0):
        self.listener.settimeout(timeout)
        sock, peer = self.listener.accept()
        sock.settimeout(None)
        self.opened.append(sock)
        return sock, peer

    def accept_rtsp(self, timeout=5.0):
        sock, _ = self.accept(timeout)
        return PhoneConnection(sock)

    def close(self):
        for s in self.opened:
            try:
                s.close()
            except OSError:
                pass
        self.listener.close()


def wait_closed(sock, timeout=5.0):
    """Reads and discards until the receiver's end is closed or shut down; True if it was."""
    sock.settimeout(timeout)
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if not sock.recv(65536):
                return True
    except socket.timeout:
        return False
    except OSError:
        return True
    return False


def free_port():
    """A loopback port on which nothing listens (bound, then released)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Harness(Relvox):
    """The session harness in place of relvox: same event reading, another binary."""

    def __init__(self, *args):
        super().__init__(*args, binary=harness_path())

    def session_events(self):
        """Events of the sessions, without the harness's own answers."""
        with self._cv:
            return [e for e in self.events if not str(e.get("event", "")).startswith("harness_")]
