"""Runs every code sample of README.md, in order, as a reader would.

Each fenced block of the README is preceded by a marker comment saying what
it is, and an unmarked block fails the test:

    <!-- sample: file PATH -->            the block is the file PATH (server/calc.py)
    <!-- sample: background cwd=DIR -->   a server, started in DIR and left running:
                                           a console block of one command, or a
                                           Python program; stopped with Ctrl-C at
                                           the end, when it must exit with status 0
                                           and have printed the lines shown (in
                                           that order, among others)
    <!-- sample: run cwd=DIR -->          a Python program that must exit with
                                           status 0; a line `print(...)  # TEXT`
                                           must print TEXT
    <!-- sample: console cwd=DIR -->      commands ($ ...), each of which must exit
                                           with status 0 and print exactly the lines
                                           shown after it
    <!-- sample: skip (REASON) -->         not run, for the reason given

A marker may add needs=MODULE: the sample runs only where MODULE imports (an
optional extra such as prometheus_client, which has no release for 3.7).

In shown output "..." stands for any text. The samples' ports 6560-6569 are
replaced by free ports (6569 by one where nothing listens), and `python` is
the interpreter running the tests. Everything listens on 127.0.0.1 only.
"""

import importlib.util
import os
import re
import signal
import subprocess
import sys

import pytest

from conftest import free_port
from locations import REPO
from processes import Background, START_LINE, child_env

# A long run of the whole system: CI runs it once, on the default python3.
pytestmark = pytest.mark.system

README = os.path.join(REPO, "README.md")
MARKER = re.compile(r"^<!-- sample: (\w+)(.*?) -->$")
FENCE = re.compile(r"^```(\w*)$")
SAMPLE_PORTS = range(6560, 6570)


class Sample:
    def __init__(self, line, kind, options, language, text):
        self.line = line            # line number of the opening fence
        self.kind = kind
        self.options = options
        self.language = language
        self.text = text

    def __repr__(self):
        return "README.md:%d (%s)" % (self.line, self.kind)


def parse_readme(path=README):
    """The fenced blocks of the README with their markers, in order."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    samples = []
    i = 0
    while i < len(lines):
        fence = FENCE.match(lines[i])
        if not fence:
            i += 1
            continue
        start = i
        marker = MARKER.match(lines[i - 1]) if i > 0 else None
        body = []
        i += 1
        while i < len(lines) and lines[i] != "```":
            body.append(lines[i])
            i += 1
        assert i < len(lines), "README.md:%d: unclosed code block" % (start + 1)
        i += 1
        assert marker, ("README.md:%d: code block without a <!-- sample: ... --> marker"
                        % (start + 1))
        kind, rest = marker.group(1), marker.group(2).strip()
        options = dict(re.findall(r"(\w+)=(\S+)", rest))
        if kind == "skip":
            assert re.fullmatch(r"\(.+\)", rest), "README.md:%d: skip without a reason" % start
        if kind == "file":
            options["path"] = rest
        assert kind in ("file", "background", "run", "console", "skip"), kind
        samples.append(Sample(start + 1, kind, options, fence.group(1), "\n".join(body) + "\n"))
    return samples


def shown_pattern(line):
    """A regular expression for one line of shown output, "..." matching anything."""
    return "".join(".*" if part == "..." else re.escape(part)
                   for part in re.split(r"(\.\.\.)", line))


def console_commands(text):
    """[(command, [shown output lines])] of a console block."""
    commands = []
    for line in text.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        else:
            assert commands, "output before the first command: %r" % line
            commands[-1][1].append(line)
    return commands


def printed_comments(text):
    """The TEXT of each `print(...)  # TEXT` line of a Python sample."""
    return [m.group(1) for m in re.finditer(r"^\s*print\(.*\)  # (.*)$", text, re.M)]


class Reader:
    """Runs the samples one after the other in a folder of its own."""

    def __init__(self, folder):
        self.folder = str(folder)
        self.ports = {str(p): str(free_port()) for p in SAMPLE_PORTS}
        self.servers = []
        bin_dir = os.path.join(self.folder, "bin")
        os.mkdir(bin_dir)
        # A wrapper, not a link: a virtual environment's interpreter finds
        # its environment from the path it was started by.
        python = os.path.join(bin_dir, "python")
        with open(python, "w") as f:
            f.write('#!/bin/sh\nexec "%s" "$@"\n' % sys.executable)
        os.chmod(python, 0o755)
        self.env = child_env(self.folder)
        self.env["PATH"] = bin_dir + os.pathsep + self.env.get("PATH", "")
        for name in ("server", "client"):
            os.mkdir(os.path.join(self.folder, name))

    def localise(self, text):
        return re.sub(r"\b(656[0-9])\b", lambda m: self.ports[m.group(1)], text)

    def cwd(self, sample):
        return os.path.join(self.folder, sample.options.get("cwd", "client"))

    def env_for(self, cwd):
        env = dict(self.env)
        env["PYTHONPATH"] = cwd  # the folder's own modules, as `python file.py` there sees them
        return env

    def script(self, sample):
        path = os.path.join(self.folder, "sample_%d.py" % sample.line)
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.localise(sample.text))
        return path

    def file(self, sample):
        path = os.path.join(self.folder, sample.options["path"])
        with open(path, "w", encoding="utf-8") as f:
            f.write(sample.text)

    def background(self, sample):
        cwd = self.cwd(sample)
        if sample.language == "python":
            command = [sys.executable, self.script(sample)]
            shown = []
        else:
            ((command_line, shown),) = console_commands(self.localise(sample.text))
            command = ["bash", "-c", "exec " + command_line]
        server = Background(command, cwd, self.env_for(cwd))
        self.servers.append((sample, server, shown))
        server.wait_for(START_LINE.pattern)

    def run(self, sample):
        cwd = self.cwd(sample)
        proc = subprocess.run([sys.executable, self.script(sample)], cwd=cwd,
                              env=self.env_for(cwd), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, encoding="utf-8", timeout=120)
        assert proc.returncode == 0, "%r failed:\n%s" % (sample, proc.stderr)
        assert proc.stdout.splitlines() == printed_comments(self.localise(sample.text)), sample

    def console(self, sample):
        cwd = self.cwd(sample)
        for command, shown in console_commands(self.localise(sample.text)):
            proc = subprocess.run(["bash", "-c", command], cwd=cwd, env=self.env_for(cwd),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  encoding="utf-8", timeout=120)
            assert proc.returncode == 0, "%r: %s exited with %d:\n%s" % (
                sample, command, proc.returncode, proc.stdout)
            printed = proc.stdout.splitlines()
            assert len(printed) == len(shown) and all(
                re.fullmatch(shown_pattern(s), p) for s, p in zip(shown, printed)), (
                "%r: %s printed\n%s\nnot\n%s" % (sample, command, proc.stdout, "\n".join(shown)))

    def stop_servers(self):
        """Ctrl-C to every server; each must stop with status 0 having shown its lines."""
        failures = []
        for sample, server, shown in self.servers:
            code = server.stop(signal.SIGINT, timeout=30)
            lines = server.lines
            position = 0
            for expected in shown:
                pattern = re.compile(shown_pattern(expected))
                while position < len(lines) and not pattern.fullmatch(lines[position]):
                    position += 1
                if position == len(lines):
                    failures.append("%r never printed %r; it printed:\n%s"
                                    % (sample, expected, "\n".join(lines)))
                    break
                position += 1
            if code != 0:
                failures.append("%r exited with %s:\n%s" % (sample, code, "\n".join(lines)))
        return failures

    def close(self):
        for _, server, _ in self.servers:
            server.close()


def test_every_block_is_marked_and_the_samples_cover_each_kind():
    kinds = [s.kind for s in parse_readme()]
    for kind in ("file", "background", "run", "console"):
        assert kind in kinds


@pytest.mark.skipif(sys.platform == "win32", reason="the console samples are POSIX shell")
def test_readme_samples_run_in_order(tmp_path):
    reader = Reader(tmp_path)
    try:
        for sample in parse_readme():
            needs = sample.options.get("needs")
            if needs and importlib.util.find_spec(needs) is None:
                continue
            if sample.kind != "skip":
                getattr(reader, sample.kind)(sample)
        failures = reader.stop_servers()
        assert not failures, "\n\n".join(failures)
    finally:
        reader.close()


@pytest.mark.parametrize("shown, printed, matches", [
    ("exit status 1", "exit status 1", True),
    ("exit status 1", "exit status 12", False),
    ("... INFO x [...] up", "2026-01-01 10:00:00 INFO x [123] up", True),
    ("... INFO x [...] up", "2026-01-01 10:00:00 DEBUG x [123] up", False),
    ("[1, 2]", "[1, 2]", True),
    ("a.b", "axb", False),
])
def test_shown_output_matching(shown, printed, matches):
    assert bool(re.fullmatch(shown_pattern(shown), printed)) == matches
