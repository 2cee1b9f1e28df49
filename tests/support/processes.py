"""Helpers for tests that run sorvane's command line in child processes."""

import os
import re
import signal
import subprocess
import sys
import threading
import time

# A small module for servers to expose; written into a test's folder.
TARGETS = '''\
import asyncio
import os
import time


def add(a, b=0):
    return a + b


def echo(*args, **kwargs):
    return [list(args), kwargs]


def pid():
    return os.getpid()


def nothing():
    return None


def div(a, b):
    return a / b


def sleep(seconds):
    time.sleep(seconds)
    return seconds


def sleep_marked(path, seconds):
    """Creates the file `path` once the call has started, then sleeps."""
    open(path, "w").close()
    time.sleep(seconds)
    return seconds


async def later(value, seconds=0.01):
    """A coroutine target: awaited by the server."""
    await asyncio.sleep(seconds)
    return value


def count(n):
    """A generator: called as a streamed call."""
    for i in range(n):
        yield {"i": i}


def mark(folder, key, seconds=0.0):
    """Notes `key` in this process's file in `folder` (a line a run), then
    sleeps: where and how many times each call ran."""
    with open(os.path.join(folder, "%d.runs" % os.getpid()), "a") as f:
        f.write(key + "\\n")
    time.sleep(seconds)
    return os.getpid()


def burn(n):
    """CPU-bound work: the sum of i * i for i below n."""
    total = 0
    for i in range(n):
        total += i * i
    return total


class Greeter:
    @staticmethod
    def hello(name, punctuation="!"):
        return "hello, " + name + punctuation
'''

START_LINE = re.compile(r"grpc server running, listen on (\S+)")


def write_targets(folder, name="targets"):
    path = os.path.join(str(folder), name + ".py")
    with open(path, "w") as f:
        f.write(TARGETS)
    return name


def rss(pid):
    """The resident memory of process `pid`, in bytes."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS for %d" % pid)


def child_env(folder):
    """The environment of a child: the test's folder importable, output unbuffered."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(folder), env.get("PYTHONPATH")) if p)
    env["PYTHONUNBUFFERED"] = "1"
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def run_cli(args, folder, timeout=60, input=None):
    """Runs ``python -m sorvane ARGS`` to its end; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-m", "sorvane"] + list(args), cwd=str(folder), env=child_env(folder),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, encoding="utf-8", errors="replace",
        timeout=timeout, input=input)


class Background:
    """A child process whose standard error is collected line by line as it runs."""

    def __init__(self, command, folder, env=None):
        self.lines = []
        self._changed = threading.Condition()
        self.proc = subprocess.Popen(
            command, cwd=str(folder), env=env or child_env(folder),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, encoding="utf-8", errors="replace")
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    @property
    def output(self):
        with self._changed:
            return "\n".join(self.lines)

    def wait_for(self, pattern, count=1, timeout=30.0):
        """Waits until `count` lines match `pattern`; returns the matches."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                found = [m for m in map(regex.search, self.lines) if m]
                if len(found) >= count:
                    return found
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._reader.is_alive()):
                    raise AssertionError("no %d lines matching %r; output so far:\n%s"
                                         % (count, pattern, "\n".join(self.lines)))
                self._changed.wait(min(left, 0.2))

    def stop(self, sig=signal.SIGTERM, timeout=30.0):
        """Sends `sig` and waits for the exit; returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        finally:
            self.close()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._reader.join(10)
        self.proc.stderr.close()


class ServeProcess(Background):
    """``python -m sorvane serve ARGS`` in a child process."""

    def __init__(self, args, folder, env=None):
        Background.__init__(self, [sys.executable, "-m", "sorvane", "serve"] + list(args),
                            folder, env)

    def wait_started(self, processes=1, timeout=30.0):
        return [m.group(1) for m in self.wait_for(START_LINE.pattern, processes, timeout)]


def process_exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie still answers kill(0): look at its state where /proc exists.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return True


def wait_gone(pid, timeout=15.0):
    deadline = time.monotonic() + timeout
    while process_exists(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True
