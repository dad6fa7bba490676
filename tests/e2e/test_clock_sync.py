"""Black-box tests of the clock synchronisation thread of a media session: the fake phone names
a fake timer server, and the session harness reports what the thread does."""

import time

import pytest

from fake_rtsp import Harness
from fake_timer_server import FakeTimerServer

SYNC_KEYS = {
    "event", "protocol", "timer_server", "server_minus_local_us", "target_server_minus_local_us",
    "phase_error_us", "frequency_ppm", "round_trip_us", "filtered_samples", "fit_history_samples",
}


@pytest.fixture
def timer_server():
    with FakeTimerServer(offset_us=987_654_321) as server:
        yield server


@pytest.fixture
def session(phone):
    h = Harness("--port", phone.port, "--generation", 1)
    conn = phone.accept_rtsp()
    h.wait_event("status")
    yield h, conn
    h.stop()


def name_timer_server(conn, server):
    # "0" as the host means the phone's own address.
    cseq = conn.request("SET_PARAMETER", body=f"wfd_timer_server_port: 0:{server.address[1]}\r\n")
    conn.reply_to(cseq)


def request_count_settles(server, quiet=0.5, timeout=3.0):
    """Waits until no request has arrived for `quiet` seconds; returns the count."""
    deadline = time.monotonic() + timeout
    count = len(server.requests)
    while time.monotonic() < deadline:
        time.sleep(quiet)
        now = len(server.requests)
        if now == count:
            return count
        count = now
    raise AssertionError(f"requests kept arriving: {count}")


def test_rounds_are_reported_and_a_play_request_starts_the_next(session, timer_server):
    h, conn = session
    name_timer_server(conn, timer_server)
    first = h.wait_event("clock_synchronized", timeout=10)
    assert set(first) == SYNC_KEYS
    assert first["protocol"] == "xiaomi_zedidi"
    assert first["timer_server"] == f"127.0.0.1:{timer_server.address[1]}"
    assert first["filtered_samples"] == 10 and first["fit_history_samples"] == 1
    assert first["phase_error_us"] == first["target_server_minus_local_us"] == first["server_minus_local_us"]
    assert first["frequency_ppm"] == 0.0
    assert 0 <= first["round_trip_us"] < 250_000
    assert [r["sequence"] for r in timer_server.requests[:10]] == list(range(1, 11))

    # Without PLAY the next round is 5 s away; with it, about 100 ms.
    started = time.monotonic()
    conn.reply_to(conn.request("PLAY"))
    second = h.wait_event("clock_synchronized", timeout=3, fit_history_samples=2)
    assert time.monotonic() - started < 2.0
    # Both estimates describe the same server clock.
    assert abs(second["server_minus_local_us"] - first["server_minus_local_us"]) < 5_000

    conn.reply_to(conn.request("SET_PARAMETER", body="wfd_timeoffset: -1500\r\n"))
    assert h.wait_event("presentation_clock_updated")["clock_synchronized"] is True


def test_held_gate_stops_the_exchange_and_a_retired_session_ends_it(session, timer_server):
    h, conn = session
    name_timer_server(conn, timer_server)
    h.wait_event("clock_synchronized", timeout=10)

    # PLAY ends the pause; the held gate then keeps the thread from sending.
    conn.reply_to(conn.request("PLAY"))
    h.send_line("pause")
    held = request_count_settles(timer_server)
    time.sleep(0.5)
    assert len(timer_server.requests) == held

    # Slow exchanges (50 ms each) so that the generation moves on in the middle of a round.
    timer_server.configure(hold_us=50_000)
    h.send_line("resume")
    timer_server.wait_for_requests(held + 2, timeout=2)
    h.send_line("advance-generation")
    ended = request_count_settles(timer_server)
    assert held + 2 <= ended <= held + 6, "the round went on after its session was retired"
    assert [e for e in h.session_events() if e.get("code", "").startswith("sonvale_clock_sync")] == []


def test_silent_timer_server_brings_no_report(session):
    h, conn = session
    with FakeTimerServer(mode="silent") as server:
        name_timer_server(conn, server)
        assert len(server.wait_for_requests(10, timeout=6)) >= 10
        conn.reply_to(conn.request("PLAY"))
        assert len(server.wait_for_requests(11, timeout=3)) >= 11
        assert h.named("clock_synchronized") == []
