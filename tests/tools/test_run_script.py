"""scripts/run.sh as a program that pipes relvox's events sees it: its set-up steps are fakes on
PATH that print to standard output and read standard input as apt-get, dpkg and cmake may, and
the relvox it starts is a stand-in that prints JSON and echoes the command lines it receives."""

import json
import os
import shutil
import stat
import subprocess
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

FAKES = {
    # Prints noise on standard output and swallows standard input, logging how it was called.
    "apt-get": """\
        echo "apt-get $*" >> "$FAKE_LOG"
        echo "Reading package lists... Done"
        cat > /dev/null
        """,
    "cmake": """\
        echo "cmake $*" >> "$FAKE_LOG"
        echo "-- Configuring done"
        echo "[1/1] Linking CXX executable src/relvox"
        cat > /dev/null
        """,
    # Reports every package as installed except those named in FAKE_MISSING, which it does not
    # know (its own exit status 1 and a message on standard error, as dpkg-query does).
    "dpkg-query": """\
        status=0
        for p in "$@"; do
          case $p in -*) continue ;; esac
          if [[ " $FAKE_MISSING " == *" $p "* ]]; then
            echo "dpkg-query: no packages found matching $p" >&2
            status=1
          else
            echo "ii  $p"
          fi
        done
        exit $status
        """,
}

RELVOX = """\
    #!/usr/bin/env bash
    printf '{"args":"%s","event":"bridge_ready"}\\n' "$*"
    while IFS= read -r line; do printf '{"event":"echo","line":%s}\\n' "$line"; done
    """


def executable(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


@pytest.fixture
def clone(tmp_path):
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    for name in ("run.sh", "install-deps.sh"):
        shutil.copy(os.path.join(ROOT, "scripts", name), repo / "scripts" / name)
    (repo / "build" / "release" / "src").mkdir(parents=True)
    executable(repo / "build" / "release" / "src" / "relvox", textwrap.dedent(RELVOX))
    fakes = tmp_path / "bin"
    fakes.mkdir()
    for name, body in FAKES.items():
        executable(fakes / name, "#!/usr/bin/env bash\n" + textwrap.dedent(body))
    return repo, fakes, tmp_path / "calls.log"


@pytest.mark.parametrize("missing", [[], ["ffmpeg", "libfmt-dev"]], ids=["installed", "missing"])
def test_standard_output_holds_only_relvox_lines(clone, missing):
    repo, fakes, log = clone
    env = dict(os.environ, PATH=f"{fakes}:{os.environ['PATH']}", FAKE_LOG=str(log),
               FAKE_MISSING=" ".join(missing))
    run = subprocess.run(["bash", str(repo / "scripts" / "run.sh"), "--name", "Den"],
                         input=b'{"command":"stop"}\n', capture_output=True, env=env, timeout=60)
    assert run.returncode == 0, run.stderr.decode()
    events = [json.loads(line) for line in run.stdout.decode().splitlines()]
    # relvox's first line first, with the arguments passed on; the command line on standard
    # input reached relvox, not a set-up step.
    assert events == [{"args": "--name Den", "event": "bridge_ready"},
                      {"event": "echo", "line": {"command": "stop"}}]
    stderr = run.stderr.decode()
    assert "-- Configuring done" in stderr
    calls = log.read_text().splitlines()
    apt = [c for c in calls if c.startswith("apt-get")]
    if missing:
        assert apt[0] == "apt-get update"
        assert apt[1].startswith("apt-get install -y ")
        assert set(missing) <= set(apt[1].split())
        assert "Reading package lists... Done" in stderr
    else:
        assert apt == []
    assert [c for c in calls if c.startswith("cmake")] == [
        "cmake --preset release", "cmake --build --preset release --target relvox"]


def test_a_failed_set_up_step_stops_before_relvox_with_nothing_on_standard_output(clone):
    repo, fakes, log = clone
    executable(fakes / "cmake", "#!/usr/bin/env bash\necho 'CMake Error: no compiler'\nexit 1\n")
    env = dict(os.environ, PATH=f"{fakes}:{os.environ['PATH']}", FAKE_LOG=str(log),
               FAKE_MISSING="")
    run = subprocess.run(["bash", str(repo / "scripts" / "run.sh")], stdin=subprocess.DEVNULL,
                         capture_output=True, env=env, timeout=60)
    assert run.returncode != 0
    assert run.stdout == b""
    assert "CMake Error: no compiler" in run.stderr.decode()
