"""The vestra command as users run it: the installed console script, in a child process."""

import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

from helpers import UNCHECKED_ENV

VESTRA = os.path.join(os.path.dirname(sys.executable), "vestra")
README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
# The longest any one wait of these tests may take.
LIMIT = 20.0
# A user of no one else's: its inotify budget is ours to use up.
SCRATCH_UID = 64999

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="looks at processes in /proc"
)


# What the sanitizer run's LeakSanitizer says when its own thread stopper crashes at a
# child's exit; such a test is run again (scripts/check-hardening).
SANITIZER_FAULT = "LeakSanitizer has encountered a fatal error"


class Lines:
    """The lines of a child's output stream, read by a thread, each waited for with a limit."""

    def __init__(self, stream):
        self._lines = queue.Queue()
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.seen = []
        self.sanitizer_fault = False
        self._thread.start()

    def _read(self, stream):
        for line in stream:
            self.sanitizer_fault |= SANITIZER_FAULT in line
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def next(self, timeout=LIMIT):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            pytest.fail(f"no line within {timeout} s; before it: {self.seen!r}")
        if line is None:
            pytest.fail(f"the stream ended; before it: {self.seen!r}")
        self.seen.append(line)
        return line

    def until(self, last):
        """The lines before the first for which `last(line)` holds."""
        lines = []
        while not last(line := self.next()):
            lines.append(line)
        return lines

    def rest(self):
        """Every line left, once the child has ended."""
        self._thread.join(LIMIT)
        lines = []
        while (line := self._lines.get(timeout=LIMIT)) is not None:
            lines.append(line)
        return lines


class Vestra:
    """A running vestra command."""

    def __init__(self, *args, stdout=subprocess.PIPE):
        self.process = subprocess.Popen(
            [VESTRA, *args], stdout=stdout, stderr=subprocess.PIPE, text=True
        )
        self.out = Lines(self.process.stdout) if stdout == subprocess.PIPE else None
        self.err = Lines(self.process.stderr)

    def live(self, *paths):
        assert self.err.next() == "watching " + " ".join(paths)

    def stop(self, number=signal.SIGINT):
        self.process.send_signal(number)
        code = self.process.wait(LIMIT)
        self.err._thread.join(LIMIT)
        if self.err.sanitizer_fault:
            pytest.fail(f"the command ended with {SANITIZER_FAULT}")
        return code

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(LIMIT)
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()


def touch(path):
    with open(path, "w"):
        pass


def wait_for(what, condition):
    deadline = time.monotonic() + LIMIT
    while not (result := condition()):
        if time.monotonic() > deadline:
            pytest.fail(f"{what}: not within {LIMIT} s")
        time.sleep(0.01)
    return result


def lines_of(path):
    try:
        with open(path) as handle:
            return handle.read().splitlines()
    except FileNotFoundError:
        return []


def process_state(pid):
    """'R', 'S', 'Z' (a zombie) ... as /proc shows the process; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as handle:
            return handle.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


@pytest.fixture
def tree(tmp_path):
    """A directory to watch (canonical, as events name it) beside a place for logs."""
    path = tmp_path / "tree"
    path.mkdir()
    return os.path.realpath(path)


# ---------------------------------------------------------------------------------------
# Argument errors: one line on standard error, nothing on standard output.

# Runs vestra as SCRATCH_UID, everything it needs loaded first (the interpreter lives
# where that user may not look). With "fill", that user's inotify instances are used up
# first, as by other programs.
AS_SCRATCH_USER = textwrap.dedent(
    """
    import ctypes, os, sys
    import vestra.cli
    libc = ctypes.CDLL(None, use_errno=True)
    os.setgroups([])
    os.setgid({uid})
    os.setuid({uid})
    if sys.argv[1] == "fill":
        held = [libc.inotify_init1(0) for _ in range(1024)]
        assert min(held) < 0 and ctypes.get_errno() == 24, "the instances were not used up"
    sys.exit(vestra.cli.main(sys.argv[2:]))
    """
).format(uid=SCRATCH_UID)

USAGE = " (see vestra --help)"
ERRORS = [
    # (case, argv, exit status, standard error, as the scratch user: None, "plain" or "fill")
    (
        "missing path",
        ["{root}/missing"],
        1,
        ["vestra: cannot watch {root}/missing: no such file or directory"],
        None,
    ),
    (
        "file on the way",
        ["{root}/file/sub"],
        1,
        ["vestra: cannot watch {root}/file/sub: not a directory"],
        None,
    ),
    (
        "unreadable root",
        ["{root}/locked"],
        1,
        ["vestra: cannot watch {root}/locked: permission denied"],
        "plain",
    ),
    (
        "instance limit",
        ["{root}/tree"],
        1,
        [
            "vestra: cannot watch {root}/tree: the inotify instance limit was reached; raise it "
            "with sysctl fs.inotify.max_user_instances=N"
        ],
        "fill",
    ),
    ("unknown option", ["--bogus"], 2, ["vestra: unrecognized arguments: --bogus" + USAGE], None),
    (
        "run option without run",
        ["--restart", "{root}"],
        2,
        ["vestra: --restart is only for run" + USAGE],
        None,
    ),
    ("print without run", ["--print"], 2, ["vestra: --print is only for run" + USAGE], None),
    (
        "run without command",
        ["run", "{root}"],
        2,
        ["vestra: run needs a COMMAND after --" + USAGE],
        None,
    ),
    (
        "json with run",
        ["run", "--json", "--", "true"],
        2,
        ["vestra: --json is for printing changes, not for run" + USAGE],
        None,
    ),
    (
        "debounce not a number",
        ["--debounce", "soon"],
        2,
        ["vestra: argument --debounce: not a number: soon" + USAGE],
        None,
    ),
    (
        "negative debounce",
        ["--debounce", "-5"],
        2,
        ["vestra: argument --debounce: not a number of milliseconds: -5" + USAGE],
        None,
    ),
    (
        "zero poll interval",
        ["--poll", "--poll-interval", "0"],
        2,
        ["vestra: argument --poll-interval: not a positive number of seconds: 0" + USAGE],
        None,
    ),
    (
        "negative grace",
        ["run", "--grace", "-1", "--", "true"],
        2,
        ["vestra: argument --grace: not a number of seconds: -1" + USAGE],
        None,
    ),
    (
        "unknown signal",
        ["run", "--signal", "NOPE", "--", "true"],
        2,
        ["vestra: argument --signal: unknown signal: NOPE" + USAGE],
        None,
    ),
    (
        "command not found",
        ["run", "{root}/tree", "--", "{root}/no-such-command"],
        1,
        ["vestra: cannot run {root}/no-such-command: no such file or directory"],
        None,
    ),
    (
        "command not on PATH",
        ["run", "--", "no-such-command-of-vestra"],
        1,
        ["vestra: cannot run no-such-command-of-vestra: command not found"],
        None,
    ),
    (
        "command not executable",
        ["run", "--", "{root}/file"],
        1,
        ["vestra: cannot run {root}/file: permission denied"],
        None,
    ),
]


@pytest.mark.parametrize("case, argv, status, stderr, user", ERRORS, ids=[e[0] for e in ERRORS])
def test_argument_error(case, argv, status, stderr, user):
    if user is not None and os.geteuid() != 0:
        pytest.skip("runs vestra as another user, which needs root")
    # Under /tmp itself, so that another user can reach it.
    root = tempfile.mkdtemp(prefix="vestra-cli-")
    try:
        os.chmod(root, 0o755)
        os.mkdir(os.path.join(root, "tree"))
        touch(os.path.join(root, "file"))
        os.mkdir(os.path.join(root, "locked"), 0o000)
        args = [arg.format(root=root) for arg in argv]
        if user is None:
            command = [VESTRA, *args]
        else:
            command = [sys.executable, "-c", AS_SCRATCH_USER, user, *args]
        env = None if user is None else UNCHECKED_ENV
        done = subprocess.run(command, capture_output=True, text=True, timeout=LIMIT, env=env)
        expected = [line.format(root=root) for line in stderr]
        assert (done.returncode, done.stderr.splitlines(), done.stdout) == (status, expected, ""), (
            done.stderr
        )
    finally:
        shutil.rmtree(root)


# ---------------------------------------------------------------------------------------
# Printed lines for real changes, as text and as JSON, from one process of each.


def exchange(a, b):
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    at_fdcwd, rename_exchange = -100, 2
    if libc.renameat2(at_fdcwd, a.encode(), at_fdcwd, b.encode(), rename_exchange) != 0:
        pytest.skip(f"renameat2: {os.strerror(ctypes.get_errno())}")


def write_new(path):
    with open(path, "w") as handle:
        handle.write("x")


# (name, set-up, change): each takes (directory in the tree, directory outside it); the
# lines expected name d for the first, and are given as text lines and as JSON objects.
PRINTED = [
    (
        "mkdir",
        None,
        lambda d, o: os.mkdir(f"{d}/new"),
        ["created   {d}/new/"],
        [("Create(Folder)", ["{d}/new"], True)],
    ),
    (
        "write a new file",
        None,
        lambda d, o: write_new(f"{d}/f"),
        ["created   {d}/f", "written   {d}/f"],
        [("Create(File)", ["{d}/f"], False), ("Modify(Data(Content))", ["{d}/f"], None)],
    ),
    (
        "chmod",
        lambda d, o: touch(f"{d}/f"),
        lambda d, o: os.chmod(f"{d}/f", 0o600),
        ["metadata  {d}/f"],
        [("Modify(Metadata(Any))", ["{d}/f"], None)],
    ),
    (
        "remove",
        lambda d, o: touch(f"{d}/f"),
        lambda d, o: os.remove(f"{d}/f"),
        ["removed   {d}/f"],
        [("Remove(File)", ["{d}/f"], False)],
    ),
    (
        "rename",
        lambda d, o: touch(f"{d}/a"),
        lambda d, o: os.rename(f"{d}/a", f"{d}/b"),
        ["renamed   {d}/a -> {d}/b"],
        [("Modify(Name(Both))", ["{d}/a", "{d}/b"], False)],
    ),
    (
        "rename a directory",
        lambda d, o: os.mkdir(f"{d}/a"),
        lambda d, o: os.rename(f"{d}/a", f"{d}/b"),
        ["renamed   {d}/a/ -> {d}/b/"],
        [("Modify(Name(Both))", ["{d}/a", "{d}/b"], True)],
    ),
    (
        "move in",
        lambda d, o: touch(f"{o}/in"),
        lambda d, o: os.rename(f"{o}/in", f"{d}/in"),
        ["moved-in  {d}/in"],
        [("Modify(Name(To))", ["{d}/in"], False)],
    ),
    (
        "move out",
        lambda d, o: touch(f"{d}/out"),
        lambda d, o: os.rename(f"{d}/out", f"{o}/out"),
        ["moved-out {d}/out"],
        [("Modify(Name(From))", ["{d}/out"], False)],
    ),
    (
        "exchange",
        lambda d, o: (touch(f"{d}/a"), touch(f"{d}/b")),
        lambda d, o: exchange(f"{d}/a", f"{d}/b"),
        ["exchanged {d}/a <-> {d}/b"],
        [("Modify(Name(Other))", ["{d}/a", "{d}/b"], False)],
    ),
]


@pytest.fixture(scope="module")
def printers(tmp_path_factory):
    """A text and a JSON vestra over one tree, live, with a place outside the tree."""
    base = tmp_path_factory.mktemp("printed")
    root = os.path.realpath(base / "tree")
    outside = os.path.realpath(base / "outside")
    os.mkdir(root)
    os.mkdir(outside)
    with Vestra(root) as text, Vestra("--json", root) as as_json:
        text.live(root)
        as_json.live(root)
        yield root, outside, text, as_json
        for printer in (text, as_json):
            assert printer.stop() == 130
            assert printer.err.rest() == [], "printed after Ctrl-C"


def marked(root, name):
    """Makes a marker (a directory: one event); returns, for each printer, the test of
    its marker's line."""
    path = f"{root}/{name}"
    os.mkdir(path)
    return (
        lambda line: line == f"created   {path}/",
        lambda line: json.loads(line)["paths"] == [path],
    )


@pytest.mark.parametrize("name, setup, change, text, records", PRINTED, ids=[p[0] for p in PRINTED])
def test_printed_lines(printers, name, setup, change, text, records):
    root, outside, text_printer, json_printer = printers
    case = name.replace(" ", "-")
    d = f"{root}/{case}"
    o = f"{outside}/{case}"
    os.mkdir(d)
    os.mkdir(o)
    if setup:
        setup(d, o)
    text_ready, json_ready = marked(root, f"{case}.ready")
    text_printer.out.until(text_ready)
    json_printer.out.until(json_ready)
    change(d, o)
    text_done, json_done = marked(root, f"{case}.done")
    expected_json = [
        {"kind": kind, "paths": [p.format(d=d) for p in paths]}
        | ({} if is_dir is None else {"is_dir": is_dir})
        for kind, paths, is_dir in records
    ]
    assert text_printer.out.until(text_done) == [line.format(d=d) for line in text]
    assert [json.loads(line) for line in json_printer.out.until(json_done)] == expected_json


# ---------------------------------------------------------------------------------------
# The live line: a change made the moment it appears is printed, every time. A driver
# process loads vestra once and forks each try, so 200 tries take seconds.

LIVE_DRIVER = textwrap.dedent(
    """
    import os, select, signal, sys
    from vestra.cli import main

    root, tries = sys.argv[1], int(sys.argv[2])

    def line(fd):
        data = b""
        while not data.endswith(b"\\n"):
            if not select.select([fd], [], [], 20)[0]:
                return data.decode() + " (timed out)"
            chunk = os.read(fd, 4096)
            if not chunk:
                return data.decode() + " (ended)"
            data += chunk
        return data.decode().rstrip("\\n")

    failures = []
    for number in range(tries):
        directory = os.path.join(root, str(number))
        os.mkdir(directory)
        out_r, out_w = os.pipe()
        err_r, err_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.dup2(out_w, 1)
            os.dup2(err_w, 2)
            status = main([directory])
            sys.stdout.flush()
            os._exit(status)
        os.close(out_w)
        os.close(err_w)
        seen = [line(err_r)]
        if seen[0] == "watching " + directory:
            open(os.path.join(directory, "f"), "w").close()
            seen.append(line(out_r))
        os.kill(pid, signal.SIGINT)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        if seen != ["watching " + directory, "created   " + directory + "/f"] or status != 130:
            failures.append((number, seen, status))
        os.close(out_r)
        os.close(err_r)
    print(f"{tries - len(failures)} of {tries}", failures[:3])
    """
)


def test_a_change_right_after_the_live_line_is_printed(tmp_path):
    tries = 200
    done = subprocess.run(
        [sys.executable, "-c", LIVE_DRIVER, os.path.realpath(tmp_path), str(tries)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.stdout, done.stderr) == (f"{tries} of {tries} []\n", "")


# ---------------------------------------------------------------------------------------
# Run mode.

# Logs the changed paths it was given, waits for its gate to open, then exits with the
# number of its run as status.
GATED_RUN = textwrap.dedent(
    """
    import json, os, sys, time
    log, gate = sys.argv[1], sys.argv[2]
    with open(log, "a") as handle:
        handle.write(json.dumps(sorted(os.environ["VESTRA_CHANGED_PATHS"].splitlines())) + "\\n")
    deadline = time.monotonic() + 30
    while not os.path.exists(gate) and time.monotonic() < deadline:
        time.sleep(0.01)
    os.remove(gate)
    with open(log) as handle:
        sys.exit(len(handle.readlines()))
    """
)


def test_run_once_more_for_changes_made_during_a_run(tree, tmp_path):
    log, gate = str(tmp_path / "log"), str(tmp_path / "gate")
    command = [sys.executable, "-c", GATED_RUN, log, gate]
    with Vestra("run", "--print", tree, "--", *command) as vestra:
        vestra.live(tree)
        runs = [[]]
        assert wait_for("the first run", lambda: lines_of(log)) == ["[]"]
        changed = [f"{tree}/{name}" for name in "abc"]
        for path in changed:
            touch(path)
        touch(gate)  # the first run ends after the changes
        runs.append(changed)
        wait_for("the second run", lambda: len(lines_of(log)) == 2)
        touch(gate)
        assert vestra.err.next() == "vestra: command exited with status 1"
        assert vestra.err.next() == "vestra: command exited with status 2"
        # Not a third run for the same changes: the next one is for the next change.
        touch(f"{tree}/d")
        runs.append([f"{tree}/d"])
        wait_for("the third run", lambda: len(lines_of(log)) == 3)
        touch(gate)
        assert vestra.err.next() == "vestra: command exited with status 3"
        assert [json.loads(line) for line in lines_of(log)] == runs
        assert vestra.stop() == 130
        assert vestra.out.rest() == [f"created   {path}" for path in runs[1] + runs[2]]
        assert vestra.err.rest() == []


# ---------------------------------------------------------------------------------------
# Restart mode.

# Forks a grandchild that only SIGKILL ends, logs both pids and waits to be stopped.
FORKING_SERVER = textwrap.dedent(
    """
    import os, signal, sys, time
    grandchild = os.fork()
    if grandchild == 0:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        while True:
            time.sleep(60)
    with open(sys.argv[1], "a") as handle:
        handle.write(f"{os.getpid()} {grandchild}\\n")
    while True:
        time.sleep(60)
    """
)


@pytest.mark.parametrize("stop, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_restart_leaves_no_process_behind(tree, tmp_path, stop, status):
    log = str(tmp_path / "pids")
    command = [sys.executable, "-c", FORKING_SERVER, log]
    with Vestra("run", "--restart", "--grace", "0.2", tree, "--", *command) as vestra:
        vestra.live(tree)
        first = wait_for("the first run", lambda: lines_of(log))[0].split()
        touch(f"{tree}/change")
        second = wait_for("the restart", lambda: lines_of(log)[1:])[0].split()
        # A new run starts only once every process of the old one is gone, reaped.
        assert {pid: process_state(pid) for pid in first} == {pid: None for pid in first}
        assert all(process_state(pid) is not None for pid in second)
        assert vestra.stop(stop) == status
        assert {pid: process_state(pid) for pid in second} == {pid: None for pid in second}
        assert vestra.err.rest() == []
        assert vestra.out.rest() == []


def test_restart_waits_for_a_change_after_the_command_exits(tree, tmp_path):
    log = str(tmp_path / "runs")
    command = ["sh", "-c", f"echo run >> {log}; exit 4"]
    exited = "vestra: command exited with status 4; it starts again on the next change"
    with Vestra("run", "--restart", tree, "--", *command) as vestra:
        vestra.live(tree)
        assert vestra.err.next() == exited
        touch(f"{tree}/change")
        assert vestra.err.next() == exited
        assert lines_of(log) == ["run", "run"]
        assert vestra.stop() == 130


# ---------------------------------------------------------------------------------------


def test_a_closed_pipe_ends_vestra_quietly(tree):
    read_end, write_end = os.pipe()
    head = subprocess.Popen(["head", "-n", "1"], stdin=read_end, stdout=subprocess.PIPE, text=True)
    os.close(read_end)
    try:
        with Vestra("--json", tree, stdout=write_end) as vestra:
            os.close(write_end)
            vestra.live(tree)
            number = 0
            deadline = time.monotonic() + LIMIT
            while vestra.process.poll() is None and time.monotonic() < deadline:
                touch(f"{tree}/{number}")
                number += 1
                time.sleep(0.01)
            assert vestra.process.wait(LIMIT) == 0
            assert vestra.err.rest() == []
        first = json.loads(head.stdout.read())
        assert first == {"kind": "Create(File)", "paths": [f"{tree}/0"], "is_dir": False}
    finally:
        head.stdout.close()
        head.wait(LIMIT)


def test_readme_shows_the_help_as_it_is():
    help_text = subprocess.run(
        [VESTRA, "--help"], capture_output=True, text=True, timeout=LIMIT, check=True
    ).stdout
    with open(README) as handle:
        readme = handle.read()
    start = readme.index("```text\nusage: vestra ") + len("```text\n")
    assert readme[start : readme.index("```", start)] == help_text
