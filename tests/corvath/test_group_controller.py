"""GroupController: member selection, fan-out with collected failures, argument tests on the
call, the default status and its log lines."""
import asyncio
import logging
import warnings
import gc

import pytest

from corvath_support import corvath, host_config, make_group, sonvale_records, xiaomi

DEFAULT_STATUS = {"status": 0, "volume": 50, "cur_time": 0, "duration": 0}


def test_identity_and_docstring():
    group, _, _ = make_group()
    assert (group.id, group.did, group.hardware) == ("group_all", "group_all", "GROUP")
    assert corvath.GroupController.__doc__.startswith("组目标控制器")
    with pytest.raises(AttributeError):
        group.id = "x"


def test_constructor_stores_its_arguments_without_calling_the_provider():
    calls = []
    cfg = host_config.Config()
    group = corvath.GroupController(config=cfg, controllers_provider=lambda: calls.append(1))
    assert group.config is cfg
    assert calls == []
    with pytest.raises(TypeError):
        corvath.GroupController(cfg)


@pytest.mark.parametrize("dids, member_dids, expected", [
    (("A", "B", "C"), ("C", "A", "X"), ["A", "C"]),   # provider order, unknown did skipped
    (("A", "B"), ("B", "B"), ["B"]),                   # listed twice counts once
    (("A",), (), []),
])
def test_member_selection_follows_the_provider(dids, member_dids, expected):
    group, _, _ = make_group(dids, member_dids)
    assert [c.did for c in group.get_member_controllers()] == expected


def test_selection_runs_afresh_each_time():
    group, ctl, _ = make_group(("A",))
    assert len(group.get_member_controllers()) == 1
    ctl["Z"] = xiaomi.TargetController("Z")
    group.config.group.member_dids.append("Z")
    assert [c.did for c in group.get_member_controllers()] == ["A", "Z"]


def test_provider_returning_none_raises_attribute_error(run):
    group = corvath.GroupController(host_config.Config(), lambda: None)
    with pytest.raises(AttributeError):
        run(group.stop())


@pytest.mark.parametrize("answers, expected, count", [
    ([True, True, RuntimeError("down")], True, 2),
    ([True, 1, None], True, 1),        # only the object True counts
    ([RuntimeError("a"), ValueError("b"), False], False, 0),
])
def test_play_url_counts_true_answers(run, caplog, answers, expected, count):
    group, ctl, _ = make_group(("A", "B", "C"))
    for member, answer in zip(ctl.values(), answers):
        if isinstance(answer, Exception):
            member.fail["play_url"] = answer
        else:
            member.play_result = answer
    caplog.set_level(logging.INFO, "sonvale")
    assert run(group.play_url("http://h/s")) is expected
    assert sonvale_records(caplog) == [
        ("INFO", f"Group play_url pushed to {count}/3 member speakers (audio_id=None)")]
    assert [m.last_play for m in ctl.values()] == [("http://h/s", None)] * 3


def test_play_url_passes_the_audio_id(run, caplog):
    group, ctl, _ = make_group(("A",))
    caplog.set_level(logging.INFO, "sonvale")
    assert run(group.play_url("u", audio_id="A1")) is True
    assert ctl["A"].last_play == ("u", "A1")
    assert sonvale_records(caplog)[-1][1].endswith("(audio_id=A1)")


@pytest.mark.parametrize("call", [
    lambda g: g.play_url(str),                     # not a str
    lambda g: g.play_url(None),
    lambda g: g.play_url(type("S", (str,), {})("u")),  # a subclass of str
    lambda g: g.play_url("u", 5),
    lambda g: g.play_url("u", type("S", (str,), {})("a")),
    lambda g: g.set_volume("30"),
    lambda g: g.set_volume(None),
])
def test_argument_errors_come_on_the_call_before_any_member(call):
    provider_calls = []
    group = corvath.GroupController(host_config.Config(), lambda: provider_calls.append(1))
    with pytest.raises(TypeError) as raised:
        call(group)
    assert "must be" in str(raised.value)
    assert provider_calls == [] and xiaomi.journal == []


@pytest.mark.parametrize("volume, sent", [(30, 30), (30.7, 30), (True, True), (-2.9, -2)])
def test_set_volume_converts_numbers(run, volume, sent):
    group, ctl, _ = make_group()
    assert run(group.set_volume(volume)) is True
    assert [m.last_volume for m in ctl.values()] == [sent, sent]
    assert type(ctl["A"].last_volume) is type(sent)


@pytest.mark.parametrize("op", ["stop", "pause"])
def test_stop_and_pause_ignore_member_failures(run, op):
    group, ctl, _ = make_group(("A", "B"))
    ctl["A"].fail[op] = RuntimeError("down")
    assert run(getattr(group, op)()) is True
    assert sorted(xiaomi.journal) == [("A", op), ("B", op)]


def test_resume_is_false_when_a_member_has_no_resume(run):
    class NoResume:
        did = "N"

        def __getattr__(self, name):
            raise AttributeError(name)

    ctl = {"A": xiaomi.TargetController("A"), "N": NoResume()}
    group = corvath.GroupController(
        host_config.Config(host_config.GroupConfig(["A", "N"])), lambda: ctl)
    assert run(group.resume()) is False
    assert xiaomi.journal == [("A", "resume")]


@pytest.mark.parametrize("lookup_error, outcome", [
    (AttributeError("no resume here"), False),   # a member without resume answers False
    (KeyError("firmware table"), KeyError),        # any other failure of the lookup propagates
    (RuntimeError("broken"), RuntimeError),
])
def test_resume_looks_up_each_members_resume_like_getattr(run, lookup_error, outcome):
    class Odd(xiaomi.TargetController):
        @property
        def resume(self):
            raise lookup_error

    ctl = {"A": xiaomi.TargetController("A"), "O": Odd("O")}
    group = corvath.GroupController(
        host_config.Config(host_config.GroupConfig(["A", "O"])), lambda: ctl)
    if outcome is False:
        assert run(group.resume()) is False
        assert xiaomi.journal == [("A", "resume")]
    else:
        with pytest.raises(outcome):
            run(group.resume())
        assert xiaomi.journal == []  # raised while the calls were being made: none was made


def test_resume_is_true_when_every_member_resumed(run):
    group, _, _ = make_group(("A", "B"))
    assert run(group.resume()) is True


@pytest.mark.parametrize("first, expected", [
    ({"status": 1, "volume": 9}, {"status": 1, "volume": 9}),
    (None, None),
    ([1], DEFAULT_STATUS),                  # not a dict
    (RuntimeError("down"), DEFAULT_STATUS),
])
def test_get_status_asks_only_the_first_member(run, first, expected):
    group, ctl, _ = make_group(("A", "B"))
    if isinstance(first, Exception):
        ctl["A"].fail["get_status"] = first
    else:
        ctl["A"].status = first
    assert run(group.get_status()) == expected
    assert xiaomi.journal == [("A", "get_status")]


def test_get_status_lets_cancellation_through(run):
    group, ctl, _ = make_group(("A",))
    ctl["A"].fail["get_status"] = asyncio.CancelledError()
    with pytest.raises(asyncio.CancelledError):
        run(group.get_status())


def test_empty_group(run, caplog):
    group, _, _ = make_group(("A",), member_dids=())
    caplog.set_level(logging.INFO, "sonvale")
    assert run(group.play_url("u")) is False
    assert [run(group.stop()), run(group.pause()), run(group.resume()),
            run(group.set_volume(3))] == [True] * 4
    first = run(group.get_status())
    assert first == DEFAULT_STATUS
    first["status"] = 9
    assert run(group.get_status()) == DEFAULT_STATUS  # built afresh
    assert sonvale_records(caplog) == [
        ("WARNING", "Group play: no active member speakers selected in group mode")]
    assert xiaomi.journal == []


def test_a_member_call_that_raises_closes_the_awaitables_made_before_it(run):
    group, ctl, _ = make_group(("A", "B", "C"))

    def broken(url, audio_id):
        raise RuntimeError("no play_url today")

    ctl["B"].play_url = broken
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(RuntimeError, match="no play_url today"):
            run(group.play_url("u"))
        gc.collect()
    assert [w for w in caught if "never awaited" in str(w.message)] == []
    assert xiaomi.journal == []      # A's coroutine was closed unrun, C was never asked
    assert not hasattr(ctl["C"], "last_play")


def test_members_run_concurrently(run, vloop):
    group, ctl, _ = make_group(("A", "B"))
    for member in ctl.values():
        member.delay["stop"] = 5
    start = vloop.time()
    run(group.stop())
    assert vloop.time() - start == pytest.approx(5)
