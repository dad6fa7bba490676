"""What /proc shows of a running process from outside: its threads' names, CPU time and open
descriptors."""

import glob
import os


def thread_names(pid):
    """The name (comm) of every live thread of the process."""
    names = []
    for path in glob.glob(f"/proc/{pid}/task/*/comm"):
        try:
            with open(path) as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended between the listing and the read
    return names


def cpu_seconds(pid):
    """User plus system CPU time of the whole process so far."""
    with open(f"/proc/{pid}/stat") as f:
        stat = f.read()
    fields = stat[stat.rindex(")") + 2:].split()  # the name in parentheses may hold spaces
    utime, stime = int(fields[11]), int(fields[12])
    return (utime + stime) / os.sysconf("SC_CLK_TCK")


def descriptor_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def vm_rss_kb(pid):
    """The resident set size in kB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def without_sanitizer_quarantine(monkeypatch):
    """For memory measurements: a sanitizer build would keep freed memory in quarantine and grow
    for that reason alone. Applies to processes started after the call."""
    options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o]
    monkeypatch.setenv("ASAN_OPTIONS", ":".join(options + ["quarantine_size_mb=0", "thread_local_quarantine_size_kb=0"]))
