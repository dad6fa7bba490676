"""What /proc shows of a running process from outside: its threads, CPU time, open descriptors
and memory."""

import glob
import os
import threading


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


def status_kb(pid, key):
    """A memory figure of /proc/<pid>/status in kB ("VmRSS", "VmSize", ...)."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def rss_kb(pid):
    return status_kb(pid, "VmRSS")


def open_file_limits(pid):
    """The (soft, hard) limit on open descriptors, as /proc/<pid>/limits shows it."""
    with open(f"/proc/{pid}/limits") as f:
        for line in f:
            if line.startswith("Max open files"):
                soft, hard = line.split()[3:5]
                return int(soft), int(hard)
    raise KeyError("Max open files")


def reset_peak_rss(pid):
    """Starts the process's peak RSS (VmHWM) afresh from its RSS now."""
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def peak_rss_kb(pid):
    """The largest RSS since the process started or since reset_peak_rss."""
    return status_kb(pid, "VmHWM")


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


class PeakSampler:
    """Samples `measure(pid)` every `interval` seconds on a thread until stopped and keeps the
    largest value seen (for figures the kernel keeps no peak of, such as the thread count)."""

    def __init__(self, pid, measure, interval=0.002):
        self.peak = measure(pid)
        self._pid, self._measure, self._interval = pid, measure, interval
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._done.wait(self._interval):
            try:
                self.peak = max(self.peak, self._measure(self._pid))
            except (OSError, ValueError):
                pass  # a thread ended while it was being counted

    def stop(self):
        self._done.set()
        self._thread.join()
        return self.peak
