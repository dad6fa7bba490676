"""scripts/event_reference.py: the names it finds in sources written the ways src/ builds events,
the places it refuses to guess, and the differences it reports against a reference."""

import os
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

import event_reference as ref  # noqa: E402


def write_tree(root, files):
    for path, text in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w", encoding="utf-8") as f:
            f.write(textwrap.dedent(text))


# Every way src/ names an event or a code, beside texts that only look like one.
SOURCES = {
    "src/lyra/frames.cpp": """\
        #include "lyra/frames.h"  // {"event", "in_an_include_comment"}
        #define TRACE(x) events(Json{{"event", "in_a_macro"}})
        namespace sonvale {
        namespace {
        Json base_event(const char* name, const Ctx& ctx) {
          return Json{{"event", name}, {"peer", ctx.peer.to_string()}};
        }
        Json logical_event(const char* name, const Frame& frame, const Ctx& ctx) {
          Json ev = base_event(name, ctx);
          ev["logical_id"] = frame.id;
          return ev;
        }
        void emit_error(const EventSink& events, const char* code, const std::string& prefix,
                        const Error& error) {
          events(Json{{"event", "error"}, {"code", code}, {"message", prefix + error.to_string()}});
        }
        }  // namespace

        void steps(const Ctx& ctx, bool plain, std::map<std::string, int> counts) {
          ctx.events(base_event("direct_helper", ctx));
          Json trace = logical_event("nested_helper", frame, ctx);
          ctx.events(base_event(plain ? "branch_decrypted" : "branch_failed", ctx));
          emit_error(ctx.events, "helper_code", "时钟：", error);
          ctx.events(Json{{"code", "warned"},
                          {"event", "warning"},
                          {"message", "one " "text"}});
          // ctx.events(Json{{"event", "commented_out"}});
          /* ctx.events(Json{{"event", "block_commented"}}); */
          const char* raw = R"x({"event", "inside_a_raw_string"})x";
          const char quote = '"';
          Json ev;
          ev["event"] = "assigned";
          const char* mode = "mode_first";
          if (plain) mode = "mode_second";
          ctx.events(Json{{"event", mode}, {"code", 7}});
          Json w;
          w["code"] = "subscript_code";
          w["event"] = "warning";
          auto report = [&](const char* stage) { ctx.events(Json{{"event", stage}}); };
          report("from_a_lambda");
        }
        }  // namespace sonvale
        """,
    # Declared in a header, defined in one file, called from another.
    "src/protocol/control_events.h": """\
        #pragma once
        void emit_named(const char* name, const EventSink& events);
        """,
    "src/protocol/control_events.cpp": """\
        void emit_named(const char* name, const EventSink& events) {
          events(Json{{"event", name}, {"source", "xiaomi"}});
        }
        """,
    "src/protocol/control_session.cpp": """\
        Result<> ControlSession::source_info(const Incoming& frame) {
          emit_named("across_files", ctx_.events);
          return {};
        }
        """,
}

FOUND_EVENTS = {"direct_helper", "nested_helper", "branch_decrypted", "branch_failed", "error",
                "warning", "assigned", "mode_first", "mode_second", "from_a_lambda",
                "across_files"}


def test_names_are_found_through_helpers_branches_and_assignments(tmp_path):
    write_tree(tmp_path, SOURCES)
    emitted = ref.collect(str(tmp_path))
    assert emitted.unresolved == []
    assert set(emitted.events) == FOUND_EVENTS
    assert {code: set(kinds) for code, kinds in emitted.codes.items()} == {
        "helper_code": {"error"}, "warned": {"warning"}, "subscript_code": {"warning"}}
    # A name passed to a helper is placed at its caller's literal, where one would add or
    # rename it.
    assert emitted.events["nested_helper"] == ["src/lyra/frames.cpp:21"]
    assert emitted.codes["helper_code"]["error"] == ["src/lyra/frames.cpp:23"]
    assert emitted.events["across_files"] == ["src/protocol/control_session.cpp:2"]


@pytest.mark.parametrize("body, line, what", [
    pytest.param('events(Json{{"event", s.name}});', 2, "s . name", id="member"),
    pytest.param('events(Json{{"event", kNames[i]}});', 2, "kNames [ i ]", id="table"),
    pytest.param('events(Json{{"event", std::string("a_") + kind}});', 2, "+", id="computed"),
    pytest.param('std::for_each(b, e, [&](const char* n) { events(Json{{"event", n}}); });', 2,
                 "lambda that has no name", id="unnamed-lambda"),
    pytest.param('events(Json{{"code", "lonely"}, {"message", "m"}});', 2,
                 'no "event" beside it', id="code-without-event"),
    pytest.param('ev.emplace("event", "hidden");', 2, "form this script does not read",
                 id="other-form"),
    pytest.param('}\nJson never_called(const char* name) {\n  return Json{{"event", name}};', 3,
                 "never called", id="helper-without-callers"),
])
def test_a_name_it_cannot_read_is_reported_at_its_place(tmp_path, body, line, what):
    write_tree(tmp_path, {"src/media/x.cpp": "void f(const S& s, int i, Kind kind) {\n"
                                             f"  {body}\n}}\n"})
    emitted = ref.collect(str(tmp_path))
    assert len(emitted.unresolved) == 1, emitted.unresolved
    assert emitted.unresolved[0].startswith(f"src/media/x.cpp:{line}: ")
    assert what in emitted.unresolved[0]


REFERENCE = """\
    # relvox events

    - `not_in_a_section`: lines before the sections are prose.

    ## Events

    ### Start

    - `bridge_ready`: ready.
    - `error`: a failure.

    ## Error and warning codes

    - `start_failed` (error): cannot start.
    - `pcm_stream_connect_failed` (warning): no listener.

    ## Notes

    - `ignored_here`: other sections are prose too.
    """


def emitted_of(events, codes):
    e = ref.Emitted()
    e.events = {name: [f"src/x.cpp:{n}"] for n, name in enumerate(events, 1)}
    e.codes = {code: {kind: ["src/y.cpp:1"]} for code, kind in codes.items()}
    return e


MATCHING = emitted_of(["bridge_ready", "error"],
                      {"start_failed": "error", "pcm_stream_connect_failed": "warning"})


@pytest.mark.parametrize("emitted, reference, expected", [
    pytest.param(MATCHING, REFERENCE, [], id="matching"),
    pytest.param(emitted_of(["bridge_ready", "error", "stdin_line_too_long"],
                            {"start_failed": "error", "pcm_stream_connect_failed": "warning"}),
                 REFERENCE,
                 ["event `stdin_line_too_long` is emitted at src/x.cpp:3 but not listed"],
                 id="event-added-to-src"),
    pytest.param(emitted_of(["bridge_ready", "error"],
                            {"start_failed": "error", "pcm_stream_connect_failed": "warning",
                             "stdin_line_too_long": "warning"}),
                 REFERENCE,
                 ["code `stdin_line_too_long` (warning) is emitted at src/y.cpp:1 but not listed"],
                 id="code-added-to-src"),
    pytest.param(emitted_of(["error"],
                            {"start_failed": "error", "pcm_stream_connect_failed": "warning"}),
                 REFERENCE,
                 ["events.md:9: event `bridge_ready` is listed but src/ no longer emits it"],
                 id="event-gone-from-src"),
    pytest.param(emitted_of(["bridge_ready", "error"], {"start_failed": "error"}),
                 REFERENCE,
                 ["events.md:15: code `pcm_stream_connect_failed` is listed but src/ no longer"],
                 id="code-gone-from-src"),
    pytest.param(MATCHING, REFERENCE.replace("failed` (warning)", "failed` (error)"),
                 ["code `pcm_stream_connect_failed` is listed as (error) but src/ emits it as "
                  "(warning)"],
                 id="wrong-kind"),
    pytest.param(MATCHING, REFERENCE.replace("` (warning)", "`"),
                 ["code `pcm_stream_connect_failed` must say (error) or (warning)"],
                 id="kind-missing"),
    pytest.param(MATCHING, REFERENCE.replace("- `error`: a failure.\n",
                                             "- `error`: a failure.\n    - `error`: again.\n"),
                 ["event `error` is listed twice"],
                 id="listed-twice"),
])
def test_every_difference_is_reported(tmp_path, emitted, reference, expected):
    path = tmp_path / "events.md"
    path.write_text(textwrap.dedent(reference), encoding="utf-8")
    problems = ref.compare(emitted, ref.read_reference(str(path)), "events.md")
    assert len(problems) == len(expected), problems
    for problem, fragment in zip(problems, expected):
        assert fragment in problem


def test_check_fails_on_a_tree_whose_reference_is_behind(tmp_path, capsys):
    write_tree(tmp_path, {
        "src/bin/relvox/main.cpp": """\
            void warn() {
              print_event_line(Json{{"code", "stdin_line_too_long"}, {"event", "warning"}});
            }
            """,
        "docs/events.md": """\
            ## Events

            - `warning`: a failure the receiver goes on after.

            ## Error and warning codes

            - `start_failed` (error): cannot start.
            """,
    })
    assert ref.main(["--root", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert "code `stdin_line_too_long` (warning) is emitted at src/bin/relvox/main.cpp:2" in err
    assert "docs/events.md:7: code `start_failed` is listed but src/ no longer emits it" in err
