"""The executable's faces: command line, event lines, command loop, start failures."""

import json
import re
import socket
import subprocess

import pytest

import test_control
from proc_stats import peak_rss_kb, reset_peak_rss, rss_kb
from relvox import Relvox

UUID_SHAPE = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")


def default_address():
    """The first non-loopback IPv4 address in the system's order, else 127.0.0.1."""
    out = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        addr = line.split()[3].split("/")[0]
        if not addr.startswith("127."):
            return addr
    return "127.0.0.1"


def run_to_end(*args, stdin=b""):
    """Starts relvox with the given standard input already complete; returns (status, proc)."""
    r = Relvox(*args, stdin_data=stdin)
    status = r.wait_exit()
    return status, r


def is_discovery(event):
    """Events of the discovery and Lyra threads, which report on their own schedule."""
    name = event.get("event", "")
    return name.startswith("discovery_") or name == "lyra_command_ready"


def ready_of(r):
    return r.wait_event("receiver_ready")


LO = ["--expected-ip", "127.0.0.1"]


@pytest.mark.parametrize(
    "args, expect",
    [
        pytest.param([], {"name": "SonVale", "interface": "", "output_device": None}, id="no-arguments"),
        pytest.param(LO + ["--name", "   "], {"name": "SonVale"}, id="blank-name"),
        pytest.param(LO + ["--name", " Kitchen "], {"name": " Kitchen "}, id="name-keeps-spaces"),
        pytest.param(LO + ["--name", "A", "--name", "B"], {"name": "A"}, id="first-occurrence-wins"),
        pytest.param(LO + ["--name", "", "--name", "B"], {"name": "SonVale"}, id="first-blank-counts-absent"),
        pytest.param(LO + ["--name"], {"name": "SonVale"}, id="option-as-last-argument"),
        pytest.param(["--name", "--expected-ip", "127.0.0.1"],
                     {"name": "--expected-ip", "address": "127.0.0.1"}, id="value-is-option-name"),
        pytest.param(["--expected-ip", "10.0.0.256"], {"address": None}, id="ip-octet-too-large"),
        pytest.param(["--expected-ip", "010.0.0.5"], {"address": None}, id="ip-leading-zero"),
        pytest.param(["--expected-ip", " 10.0.0.5"], {"address": None}, id="ip-leading-space"),
        pytest.param(["--expected-ip=127.0.0.1"], {"address": None}, id="no-equals-form"),
        pytest.param(LO + ["--lyra-instance-id", "abc"], {"lyra_instance_id": "abc"}, id="lyra-id-not-upper-cased"),
        pytest.param(LO + ["--media-device-id", "m-1"], {"media_device_id": "m-1"}, id="media-device-id"),
        pytest.param(LO + ["--interface-name", "en0"], {"interface": "en0"}, id="interface"),
        pytest.param(LO + ["--pcm-port", "7238"], {"output_device": "stream:127.0.0.1:7238"}, id="pcm-port-alone"),
        pytest.param(LO + ["--pcm-port", "x", "--pcm-host", "10.0.0.2", "--output-device", "Speakers"],
                     {"output_device": "stream:10.0.0.2:x"}, id="pcm-wins-over-device"),
        pytest.param(LO + ["--pcm-port", "  ", "--output-device", "Speakers"],
                     {"output_device": "Speakers"}, id="blank-pcm-port-is-absent"),
        pytest.param(LO + ["--pcm-host", "10.0.0.2"], {"output_device": None}, id="pcm-host-without-port"),
        pytest.param(LO + ["--output-device", " Built-in Output "],
                     {"output_device": " Built-in Output "}, id="device-keeps-spaces"),
        pytest.param(LO + ["--output-device", "\t"], {"output_device": None}, id="blank-device"),
    ],
)
def test_command_line_options(args, expect):
    status, r = run_to_end(*args)
    assert status == 0, r.stderr()
    ready = ready_of(r)
    bridge = r.wait_event("bridge_ready")
    expect = dict(expect)
    if "address" in expect and expect["address"] is None:
        expect["address"] = default_address()
    for key, value in expect.items():
        assert ready[key] == value, key
    assert bridge == {"event": "bridge_ready", "ip": ready["address"], "name": ready["name"]}
    if "lyra_instance_id" not in expect:
        assert re.fullmatch(r"[0-9A-F]{8}", ready["lyra_instance_id"])
    if "media_device_id" not in expect:
        assert UUID_SHAPE.match(ready["media_device_id"])


def test_no_arguments_uses_default_address_and_random_ids():
    _, first = run_to_end()
    _, second = run_to_end()
    a, b = ready_of(first), ready_of(second)
    assert a["address"] == default_address()
    assert a["media_device_id"] != b["media_device_id"]
    assert a["lyra_instance_id"] != b["lyra_instance_id"]


def test_receiver_ready_has_exactly_its_keys_and_start_order():
    status, r = run_to_end(*LO, "--lyra-instance-id", "abcdef0123", "--pcm-port", "7238")
    assert status == 0
    names = [e["event"] for e in r.events]
    assert names.index("zedidi_lan_removed") < names.index("receiver_ready") < names.index("bridge_ready")
    assert r.named("zedidi_lan_removed") == [{
        "event": "zedidi_lan_removed",
        "protocol": "xiaomi_zedidi",
        "reason": "query_scoped_lyra_and_mi_connect_without_legacy_lan_tv",
    }]
    ready = ready_of(r)
    media = ready.pop("media_device_id")
    assert UUID_SHAPE.match(media)
    assert ready == {
        "address": "127.0.0.1",
        "device_type": 3,
        "event": "receiver_ready",
        "external_service_required": False,
        "identity_provenance": "local_system",
        "implementation": "quarnet_cross_platform_rust_sdk",
        "interface": "",
        "legacy_lan_discovery": False,
        "lyra_instance_id": "abcdef0123",
        "mdns_service": "CDEF0123._lyra-mdns._udp.local.",
        "name": "SonVale",
        "network_scope": "local_subnet",
        "official_wired_support": "undocumented",
        "output_device": "stream:127.0.0.1:7238",
        "platform": "macOS",
        "playable": False,
        "port": 55982,
        "protocol": "xiaomi_zedidi_v3",
        "vendor_attestation_verified": False,
    }


def keys_in_order(raw_line):
    orders = []

    def hook(pairs):
        orders.append([k for k, _ in pairs])
        return dict(pairs)

    json.loads(raw_line.decode("utf-8"), object_pairs_hook=hook)
    return orders


def test_event_lines_are_compact_byte_ordered_and_escaped():
    name = b'Q"\\\x01\x1f\t\nK\xffN\xc3\xa9'
    status, r = run_to_end(*LO, "--name", name)
    assert status == 0
    for raw in r.raw_lines:
        assert raw.endswith(b"\n") and raw.count(b"\n") == 1
        for keys in keys_in_order(raw):
            assert keys == sorted(keys, key=lambda k: k.encode("utf-8"))
        assert b": " not in raw and b", " not in raw
    bridge_raw = [l for l in r.raw_lines if b'"bridge_ready"' in l][0]
    assert b'"name":"Q\\"\\\\\\u0001\\u001f\\t\\nK\xef\xbf\xbdN\xc3\xa9"' in bridge_raw
    assert r.wait_event("bridge_ready")["name"] == 'Q"\\\x01\x1f\t\nK\ufffdNé'


MARK = 0


def marker(r):
    """Sends a line that answers with a known event, so every earlier line has been handled."""
    global MARK
    MARK += 1
    line = json.dumps({"command": f"marker-{MARK}"})
    r.send_line(line)
    r.wait_for(lambda e: e.get("raw") == line, what=line)
    return line


SILENT_LINES = [
    b"",
    b"   \t",
    b"not json",
    b'{"command":"pause"} trailing',
    b'{"command":"pause"',
    b"\xff\xfe{}",
    b'\xef\xbb\xbf{"command":"x"}',
    b"[" * 200 + b"]" * 200,
    b'{"command":"seek","position_ms":-5}',
    b'{"command":"seek","position_ms":1500.5}',
    b'{"command":"seek","position_ms":"1500"}',
    b'{"command":"seek","position_ms":1e3}',
    b'{"command":"seek"}',
    b'{"command":"set_volume","percent":-1}',
    b'{"command":"set_volume","percent":42.0}',
    b'{"command":"set_volume","percent":null}',
    b'  {"command":"pause"}  ',
    b'{"command":"toggle"}',
    b'{"command":"resume","extra":[1]}',
    b'{"command":"previous"}',
    b'{"command":"next"}',
    b'{"command":"seek","position_ms":18446744073709551615}',
    b'{"command":"set_volume","percent":300}',
]

UNSUPPORTED_LINES = [
    (b"[1,2]", "[1,2]"),
    (b"  [1, 2]  ", "[1, 2]"),
    (b'"pause"', '"pause"'),
    (b"{}", "{}"),
    (b'{"command":5}', '{"command":5}'),
    (b'{"command":null}', '{"command":null}'),
    (b'{"command":"PAUSE"}', '{"command":"PAUSE"}'),
    (b'{"command":"Stop"}', '{"command":"Stop"}'),
    (b'{"command":"pause "}', '{"command":"pause "}'),
    (b'{"command":"volume"}\r', '{"command":"volume"}'),
    (b'{"command":"x","command":"stop "}', '{"command":"x","command":"stop "}'),
]


def test_command_lines_silent_and_unsupported(relvox):
    r = relvox(*LO)
    r.wait_event("bridge_ready")
    r.wait_event("lyra_command_ready")  # the Lyra thread's one event, which may come after
    for line in SILENT_LINES:
        before = len(r.events)
        r.send_line(line)
        mark = marker(r)
        # The discovery thread reports on its own schedule; only the command loop's lines count.
        assert [e.get("raw") for e in r.events[before:] if not is_discovery(e)] == [mark], line
    for line, raw in UNSUPPORTED_LINES:
        r.send_line(line)
        got = r.wait_for(lambda e: e.get("event") == "error" and e.get("raw") == raw, what=raw)
        assert got == {"code": "unsupported_command", "event": "error", "raw": raw}
    assert r.proc.poll() is None


@pytest.mark.parametrize("stop_line", [b'{"command":"stop"}', b'{"command":"shutdown"}', b' {"command":"stop","x":1}\r'])
def test_stop_ends_loop_and_later_lines_are_not_read(stop_line):
    status, r = run_to_end(*LO, stdin=stop_line + b"\n" + b'{"command":"bogus"}\n[1]\n')
    assert status == 0
    assert not any(e.get("code") == "unsupported_command" for e in r.events)


def test_end_of_input_stops_with_status_zero_and_last_line_without_newline_counts():
    status, r = run_to_end(*LO, stdin=b'{"command":"late"}')
    assert status == 0
    loop_events = [e for e in r.events if not is_discovery(e)]
    assert loop_events[-1] == {"code": "unsupported_command", "event": "error", "raw": '{"command":"late"}'}


def hold_tcp(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", port))
    s.listen(1)
    return s


def hold_udp(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", port))
    return s


@pytest.mark.parametrize(
    "hold, context",
    [
        (lambda: hold_tcp(8899), "bind Xiaomi ZeDidi control socket 127.0.0.1:8899"),
        (lambda: hold_udp(55982), "bind Xiaomi Lyra command socket 127.0.0.1:55982"),
    ],
    ids=["control-port-taken", "lyra-port-taken"],
)
def test_start_failure_reports_and_exits_one(hold, context):
    blocker = hold()
    try:
        status, r = run_to_end(*LO, stdin=b'{"command":"bogus"}\n')
    finally:
        blocker.close()
    assert status == 1
    assert r.events == [{
        "code": "start_failed",
        "event": "error",
        "message": f"Failed to start ZeDidi receiver: {context}: Address already in use (os error 98)",
    }]


def test_control_port_freed_after_lyra_failure_and_stop():
    """A failed start leaves no listener behind; the next start on the same ports succeeds."""
    blocker = hold_udp(55982)
    try:
        status, _ = run_to_end(*LO)
    finally:
        blocker.close()
    assert status == 1
    status, r = run_to_end(*LO)
    assert status == 0
    r.wait_event("receiver_ready")


def test_closed_standard_output_does_not_end_the_receiver():
    proc = subprocess.Popen(
        [Relvox.__init__.__globals__["relvox_path"](), *LO],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
    )
    first = proc.stdout.readline()
    assert first
    proc.stdout.close()
    for _ in range(50):
        proc.stdin.write(b'{"command":"bogus"}\n')
    proc.stdin.flush()
    assert proc.poll() is None
    proc.stdin.write(b'{"command":"stop"}\n')
    proc.stdin.close()
    assert proc.wait(10) == 0


LINE_LIMIT = 1024 * 1024
TOO_LONG = {"event": "warning", "code": "sonvale_command_line_too_long",
            "message": "标准输入的命令行超过 1048576 字节，已丢弃：standard input line exceeds 1048576 bytes"}


def test_a_line_too_long_is_dropped_with_one_warning_and_its_memory_returned(relvox, no_sanitizer_quarantine,
                                                                           record_property):
    r = relvox(*test_control.ARGS)
    r.wait_event("bridge_ready")
    pid = r.proc.pid
    rss_before = rss_kb(pid)
    reset_peak_rss(pid)
    piece = b"x" * LINE_LIMIT
    for _ in range(200):  # a 200 MB line, without a line feed until its end
        r.proc.stdin.write(piece)
    r.send_line(b"")
    marker(r)  # the loop goes on with the next line
    peak, after = peak_rss_kb(pid) - rss_before, rss_kb(pid) - rss_before
    record_property("peak_rss_growth_kb", peak)
    record_property("rss_growth_after_kb", after)
    assert r.named("warning") == [TOO_LONG]
    assert peak < 32 * 1024 and after < 32 * 1024, (peak, after)

    # Each side of the limit: a line of exactly 1 MiB is still read (and, not being an object,
    # echoed); one byte more, or an unsupported command of 50 MB, is dropped with one warning.
    at_limit = b'"' + b"y" * (LINE_LIMIT - 2) + b'"'
    r.send_line(at_limit + b"\r")  # the carriage return before the line feed is not the line's
    echoed = r.wait_for(lambda e: e.get("code") == "unsupported_command" and len(e["raw"]) == LINE_LIMIT,
                        what="the 1 MiB line echoed")
    assert echoed["raw"] == at_limit.decode()
    r.send_line(b'"' + b"y" * (LINE_LIMIT - 1) + b'"')
    r.send_line(b'{"command":"' + b"z" * (50 * LINE_LIMIT) + b'"}')
    marker(r)
    assert r.named("warning") == [TOO_LONG] * 3
    assert max(len(line) for line in r.raw_lines) < LINE_LIMIT + 100
    test_control.a_phone_still_authenticates(r)
    r.send({"command": "stop"})
    assert r.wait_exit() == 0


@pytest.mark.parametrize("last_line, expect", [
    (b'"' + b"y" * (LINE_LIMIT - 2) + b'"', "unsupported_command"),
    (b'"' + b"y" * (LINE_LIMIT - 1) + b'"', "sonvale_command_line_too_long"),
], ids=["at-the-limit", "one-byte-more"])
def test_a_last_line_without_line_feed_obeys_the_same_limit(last_line, expect):
    status, r = run_to_end(*LO, stdin=last_line)
    assert status == 0
    assert [e.get("code") for e in r.events if e.get("event") in ("error", "warning")] == [expect]
