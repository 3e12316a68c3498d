"""The vestra command: print the changes under directory trees, or run a command on each
batch of changes (restarting it, for a server).

    vestra [options] [PATH ...]
    vestra run [options] [PATH ...] -- COMMAND [ARG ...]
"""

from __future__ import annotations

import argparse
import errno
import io
import json
import os
import selectors
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import NoReturn, TextIO

from vestra.watch import Event, Kind, Watch, WatchError

PROG = "vestra"
CHANGED_VARIABLE = "VESTRA_CHANGED_PATHS"
DEFAULT_GRACE = 3.0
RUN_DEBOUNCE_MS = 50.0
# Set-up that takes longer than this shows its progress on a terminal.
PROGRESS_AFTER = 1.0
PROGRESS_EVERY = 0.2
# How often a stopping command's process group is looked at while it winds down.
GROUP_POLL = 0.02
# How long what is left of a killed process group may take to go.
KILL_WAIT = 5.0
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Left out with the watch's own default patterns: what test runners, type checkers and
# linters write into the tree on every run, which would otherwise start `run` again
# after each run, without end.
TOOL_CACHES = (".pytest_cache", ".mypy_cache", ".ruff_cache", ".hypothesis")

HELP_WIDTH = 79

DESCRIPTION = textwrap.fill(
    "Watch directory trees (the current directory by default) and print each change as "
    "it happens; or, with run, run COMMAND at start and again after each batch of changes.",
    HELP_WIDTH,
)

EXAMPLES = "\n\n".join(
    [
        """\
examples:
  vestra src                           print each change under src/
  vestra --json . | jq -r '.paths[0]'  the same as JSON lines, for a program
  vestra run -- pytest -x              run the tests now and after each change
  vestra run --restart -- python -m http.server
                                       restart a server after each change""",
        textwrap.fill(
            "With run, COMMAND gets the changed paths, one per line, in "
            f"${CHANGED_VARIABLE} (empty for the first run). A change made while COMMAND "
            "runs makes it run once more when it ends. COMMAND runs in a process group of "
            "its own: stopping it (on restart, or when vestra is stopped) signals the whole "
            "group, then kills what is left after the grace time.",
            HELP_WIDTH,
        ),
        textwrap.fill(
            "exit status: 1 when a path cannot be watched or COMMAND cannot be started, 2 "
            "for bad usage, 128+N when stopped by signal N (130 for Ctrl-C), 0 when the "
            "reader of the output has gone (as with | head -1).",
            HELP_WIDTH,
        ),
    ]
)


class UsageError(Exception):
    """Bad arguments: reported on one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    """argparse, with each usage error as one line instead of the usage and a message."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


@dataclass(frozen=True)
class Options:
    run: bool
    paths: list[str]
    command: list[str]
    ignore: list[str]
    default_ignore: bool
    recursive: bool
    debounce: float
    poll: bool | None
    poll_interval: float | None
    json: bool
    restart: bool
    stop_signal: signal.Signals
    grace: float
    echo: bool


class Formatter(argparse.RawDescriptionHelpFormatter):
    """Help text of one width whatever the terminal, so that it reads the same
    everywhere (and in the README)."""

    def __init__(self, prog: str) -> None:
        super().__init__(prog, width=HELP_WIDTH, max_help_position=26)


def parser() -> Parser:
    """The one parser of both modes, so that --help shows every option."""
    p = Parser(
        prog=PROG,
        usage=(
            "vestra [options] [PATH ...]\n"
            "       vestra run [options] [--restart] [PATH ...] -- COMMAND [ARG ...]"
        ),
        description=DESCRIPTION,
        epilog=EXAMPLES,
        formatter_class=Formatter,
    )
    # Newer versions color the help on a terminal; the README shows it plain.
    setattr(p, "color", False)
    p.add_argument("paths", nargs="*", metavar="PATH", help="a directory or file to watch")
    watching = p.add_argument_group("what is watched")
    watching.add_argument(
        "--ignore",
        action="append",
        default=[],
        metavar="PATTERN",
        help="leave out names matching PATTERN (* ? [..]); a PATTERN with '/' matches the "
        "path below the watched one, e.g. build/*.o (repeatable)",
    )
    watching.add_argument(
        "--no-default-ignore",
        action="store_true",
        help="also watch version-control directories, __pycache__, node_modules, virtual "
        "environments, editor swap files and the caches of test runners and type checkers",
    )
    watching.add_argument(
        "--non-recursive", action="store_true", help="watch each PATH itself, not below it"
    )
    watching.add_argument(
        "--debounce",
        type=milliseconds,
        metavar="MS",
        help="milliseconds of quiet that end a batch of changes (default: 0 when printing, "
        f"{RUN_DEBOUNCE_MS:g} with run)",
    )
    watching.add_argument(
        "--poll",
        action="store_true",
        help="poll every PATH instead of using the kernel's notifications (default: poll "
        "only remote file systems, or everything when VESTRA_POLL=1)",
    )
    watching.add_argument(
        "--poll-interval",
        type=positive_seconds,
        metavar="SECONDS",
        help="seconds between polls (default: VESTRA_POLL_INTERVAL, or 1)",
    )
    printing = p.add_argument_group("printing")
    printing.add_argument(
        "--json",
        action="store_true",
        help='one JSON object per change: {"kind": ..., "paths": [...], "is_dir": ...}',
    )
    running = p.add_argument_group("run")
    running.add_argument(
        "--restart",
        action="store_true",
        help="keep COMMAND running and restart it after each batch of changes",
    )
    running.add_argument(
        "--signal",
        type=signal_number,
        metavar="SIG",
        help="the signal that stops COMMAND's process group (default: TERM)",
    )
    running.add_argument(
        "--grace",
        type=seconds,
        metavar="SECONDS",
        help="how long a stopped COMMAND may take before it is killed "
        f"(default: {DEFAULT_GRACE:g})",
    )
    running.add_argument(
        "--print",
        dest="echo",
        action="store_true",
        help="print each batch of changes before COMMAND runs",
    )
    p.add_argument("--version", action=Version, help="show vestra's version and exit")
    return p


class Version(argparse.Action):
    """--version, the installed version looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, help: str) -> None:
        super().__init__(option_strings, dest, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            number = version("vestra")
        except PackageNotFoundError:
            number = "unknown"
        print(f"{PROG} {number}")
        parser.exit()


def milliseconds(text: str) -> float:
    value = number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a number of milliseconds: {text}")
    return value / 1000


def seconds(text: str) -> float:
    value = number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text}")
    return value


def positive_seconds(text: str) -> float:
    value = number(text)
    if not 0 < value <= 86400:
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text}")
    return value


def number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if value != value or value in (float("inf"), float("-inf")):
        raise argparse.ArgumentTypeError(f"not a number: {text}")
    return value


def signal_number(text: str) -> signal.Signals:
    name = text.upper()
    try:
        if name.isdigit():
            return signal.Signals(int(name))
        return signal.Signals[name if name.startswith("SIG") else "SIG" + name]
    except (KeyError, ValueError):
        raise argparse.ArgumentTypeError(f"unknown signal: {text}") from None


def parse(argv: Sequence[str]) -> Options:
    run = bool(argv) and argv[0] == "run"
    words = list(argv[1:] if run else argv)
    command: list[str] = []
    if run and "--" in words:
        split = words.index("--")
        words, command = words[:split], words[split + 1 :]
    ns = parser().parse_args(words)
    given = {
        "--restart": ns.restart,
        "--signal": ns.signal is not None,
        "--grace": ns.grace is not None,
        "--print": ns.echo,
    }
    if run:
        if ns.json:
            raise UsageError("--json is for printing changes, not for run")
        if not command:
            raise UsageError("run needs a COMMAND after --")
    else:
        for name, present in given.items():
            if present:
                raise UsageError(f"{name} is only for run")
    debounce = ns.debounce if ns.debounce is not None else (RUN_DEBOUNCE_MS / 1000 if run else 0.0)
    return Options(
        run=run,
        paths=ns.paths or ["."],
        command=command,
        ignore=ns.ignore,
        default_ignore=not ns.no_default_ignore,
        recursive=not ns.non_recursive,
        debounce=debounce,
        poll=True if ns.poll else None,
        poll_interval=ns.poll_interval,
        json=ns.json,
        restart=ns.restart,
        stop_signal=ns.signal or signal.SIGTERM,
        grace=DEFAULT_GRACE if ns.grace is None else ns.grace,
        echo=ns.echo,
    )


# ---------------------------------------------------------------------------------------
# How changes are shown.


def label(kind: Kind) -> str:
    return kind.name.lower().replace("_", "-")


def text_line(event: Event) -> str:
    """`kind path`, a rename as `old -> new`; a directory's path ends with '/'."""

    def shown(path: str) -> str:
        return path + "/" if event.is_dir and not path.endswith("/") else path

    if event.kind is Kind.EXCHANGED:
        where = f"{event.old_path} <-> {event.path}"
    elif event.old_path is not None:
        where = f"{shown(event.old_path)} -> {shown(event.path)}"
    else:
        where = shown(event.path)
    return f"{label(event.kind):<9} {where}"


def json_line(event: Event) -> str:
    record: dict[str, object] = {"kind": event.text, "paths": list(event.paths)}
    if event.is_dir is not None:
        record["is_dir"] = event.is_dir
    return json.dumps(record)


def changed_paths(events: Iterable[Event]) -> list[str]:
    """Every path the events name, each once, in the order first named."""
    return list(dict.fromkeys(path for event in events for path in event.paths))


def say(message: str) -> None:
    """One line of vestra's own on standard error."""
    print(f"{PROG}: {message}", file=sys.stderr, flush=True)


REASONS = {
    errno.ENOENT: "no such file or directory",
    errno.ENOTDIR: "not a directory",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
}


def reason(error: OSError) -> str:
    return REASONS.get(error.errno or 0) or error.strerror or str(error)


def watch_error(error: OSError) -> str:
    if error.filename is None:
        return reason(error)
    return f"cannot watch {error.filename}: {reason(error)}"


def exit_description(status: int) -> str:
    if status < 0:
        try:
            return f"was killed by {signal.Signals(-status).name}"
        except ValueError:
            return f"was killed by signal {-status}"
    return f"exited with status {status}"


# ---------------------------------------------------------------------------------------
# Signals: every stop signal, and SIGCHLD, becomes a byte on one pipe, so that a single
# select() wakes for changes, signals and ended children alike, and no exception is ever
# raised in the middle of starting or stopping a command.


class Signals:
    def __init__(self) -> None:
        self._read, self._write = os.pipe()
        os.set_blocking(self._read, False)
        os.set_blocking(self._write, False)
        self.stopped: int | None = None
        self.stops = 0
        self._previous_fd = signal.set_wakeup_fd(self._write, warn_on_full_buffer=False)
        # A signal ignored from the start stays ignored: a shell's background job leaves
        # Ctrl-C to the foreground, and nohup means what it says.
        self._previous = {
            number: signal.signal(number, self._noted)
            for number in (*STOP_SIGNALS, signal.SIGCHLD)
            if signal.getsignal(number) is not signal.SIG_IGN
        }

    def _noted(self, number: int, frame: object) -> None:
        # The byte on the pipe is what counts; this handler only keeps the default action
        # (or KeyboardInterrupt) from happening.
        pass

    def fileno(self) -> int:
        return self._read

    def drain(self) -> None:
        """Takes the bytes of the signals received so far and notes the stop signals."""
        while True:
            try:
                data = os.read(self._read, 512)
            except BlockingIOError:
                return
            if not data:
                return
            for number in data:
                if number in STOP_SIGNALS:
                    self.stops += 1
                    if self.stopped is None:
                        self.stopped = number

    def close(self) -> None:
        for number, handler in self._previous.items():
            if handler is not None:
                signal.signal(number, handler)
        signal.set_wakeup_fd(self._previous_fd)
        os.close(self._read)
        os.close(self._write)


def wait(sources: Sequence[int], timeout: float | None) -> set[int]:
    """The descriptors of `sources` readable within `timeout` seconds (None: no limit)."""
    with selectors.DefaultSelector() as selector:
        for fd in sources:
            selector.register(fd, selectors.EVENT_READ)
        return {key.fd for key, _ in selector.select(timeout)}


# ---------------------------------------------------------------------------------------
# Going live, with progress on a terminal for big trees.


def go_live(watch: Watch, signals: Signals) -> bool:
    """Starts `watch` on this thread. Meanwhile a reporter thread shows the progress on a
    terminal and closes the watch when a stop signal arrives. True once live."""
    done_read, done_write = os.pipe()
    terminal = sys.stderr.isatty()

    def report() -> None:
        started = time.monotonic()
        shown = False
        while True:
            elapsed = time.monotonic() - started
            timeout = PROGRESS_AFTER - elapsed if elapsed < PROGRESS_AFTER else PROGRESS_EVERY
            ready = wait((done_read, signals.fileno()), timeout if terminal else None)
            if done_read in ready:
                break
            if signals.fileno() in ready:
                signals.drain()
                if signals.stopped is not None:
                    watch.close()
                    break
            elif terminal:
                count = watch.watch_count
                sys.stderr.write(f"\r{PROG}: setting up, {count} directories watched so far")
                sys.stderr.flush()
                shown = True
        if shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()

    reporter = threading.Thread(target=report, name="vestra-progress")
    reporter.start()
    try:
        watch.start()
    finally:
        os.write(done_write, b"x")
        reporter.join()
        os.close(done_read)
        os.close(done_write)
    return not watch.closed and signals.stopped is None


# ---------------------------------------------------------------------------------------
# Printing.


class Output:
    """Lines to standard output, each flushed as it is written."""

    def __init__(self, stream: TextIO, form: Callable[[Event], str]) -> None:
        self._stream = stream
        self._form = form

    def events(self, events: Iterable[Event]) -> None:
        for event in events:
            self._stream.write(self._form(event) + "\n")
            self._stream.flush()


def print_changes(watch: Watch, signals: Signals, output: Output) -> int:
    while True:
        ready = wait((watch.fileno(), signals.fileno()), None)
        if signals.fileno() in ready:
            signals.drain()
            if signals.stopped is not None:
                return 128 + signals.stopped
        if watch.fileno() in ready:
            batch = watch.read(0)
            if batch is None:
                return 0
            output.events(batch)


# ---------------------------------------------------------------------------------------
# Running a command.


def unrunnable(program: str) -> str | None:
    """Why `program` cannot be run, or None when it looks runnable: checked before
    anything is watched, so that a mistyped command is the one line said."""
    if shutil.which(program) is not None:
        return None
    if os.sep in program and os.path.exists(program):
        return "permission denied" if not os.path.isdir(program) else "is a directory"
    return "no such file or directory" if os.sep in program else "command not found"


def become_subreaper() -> None:
    """Makes what COMMAND leaves behind (children whose parent ended) vestra's children,
    so vestra reaps them: no zombie is left where the system's init does not reap."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    pr_set_child_subreaper = 36
    try:
        ctypes.CDLL(None, use_errno=True).prctl(pr_set_child_subreaper, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


@dataclass
class Command:
    """COMMAND's runs, each in a process group of its own."""

    argv: list[str]
    stop_signal: signal.Signals
    grace: float
    signals: Signals
    process: subprocess.Popen[bytes] | None = None
    # The process group of the latest run, while any of it may be left.
    group: int | None = None
    status: int | None = None

    @property
    def running(self) -> bool:
        return self.process is not None and self.status is None

    def launch(self, changed: list[str]) -> None:
        env = dict(os.environ)
        env[CHANGED_VARIABLE] = "\n".join(changed)
        self.status = None
        self.process = subprocess.Popen(self.argv, env=env, start_new_session=True)
        self.group = self.process.pid

    def reap(self) -> None:
        """Collects every ended child: the run itself and anything it left behind."""
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            if self.process is not None and pid == self.process.pid:
                self.status = os.waitstatus_to_exitcode(status)
                self.process.returncode = self.status

    def group_left(self) -> bool:
        if self.group is None:
            return False
        try:
            os.killpg(self.group, 0)
        except ProcessLookupError:
            self.group = None
            return False
        except PermissionError:
            pass
        return True

    def signal_group(self, number: int) -> None:
        if self.group is not None:
            try:
                os.killpg(self.group, number)
            except (ProcessLookupError, PermissionError):
                pass

    def stop(self) -> None:
        """Stops the latest run's whole process group: the stop signal, then SIGKILL for
        what is left after the grace time (at once on a second stop signal)."""
        self.reap()
        if not self.group_left():
            return
        self.signal_group(self.stop_signal)
        deadline = time.monotonic() + self.grace
        stops = self.signals.stops
        killed = False
        while True:
            self.reap()
            if not self.group_left():
                return
            now = time.monotonic()
            if not killed and (now >= deadline or self.signals.stops > stops):
                self.signal_group(signal.SIGKILL)
                killed, deadline = True, now + KILL_WAIT
            elif killed and now >= deadline:
                return  # beyond our reach (another user's, or stuck in the kernel)
            if wait((self.signals.fileno(),), GROUP_POLL):
                self.signals.drain()


def run_command(watch: Watch, signals: Signals, options: Options, output: Output) -> int:
    command = Command(options.command, options.stop_signal, options.grace, signals)
    sources = (watch.fileno(), signals.fileno())
    pending: list[Event] = []

    def launch(batch: list[Event]) -> None:
        if options.echo:
            output.events(batch)
        command.launch(changed_paths(batch))

    def collect(timeout: float | None) -> bool:
        """Waits up to `timeout` for changes, signals or an ended run. False once stopped."""
        ready = wait(sources, timeout)
        if signals.fileno() in ready:
            signals.drain()
            command.reap()
        if watch.fileno() in ready:
            batch = watch.read(0)
            if batch is None:
                return False
            pending.extend(batch)
        return signals.stopped is None

    try:
        launch([])
    except OSError as error:
        say(f"cannot run {options.command[0]}: {reason(error)}")
        return 1
    try:
        while collect(None):
            if command.process is not None and command.status is not None:
                status = command.status
                command.process = None
                if options.restart:
                    say(f"command {exit_description(status)}; it starts again on the next change")
                elif status != 0:
                    say(f"command {exit_description(status)}")
                command.stop()  # whatever the run left running in its group
                if pending and not options.restart:
                    # Changes made during the run: the batch still being gathered belongs
                    # to the same next run.
                    deadline = time.monotonic() + 2 * options.debounce + 0.05
                    while (left := deadline - time.monotonic()) > 0 and collect(left):
                        pass
                    if signals.stopped is not None:
                        break
            if pending and (options.restart or not command.running):
                if command.running:
                    command.stop()
                    command.process = None
                    batch = watch.read(0)
                    pending.extend(batch or [])
                batch, pending[:] = list(pending), []
                try:
                    launch(batch)
                except OSError as error:
                    say(f"cannot run {options.command[0]}: {reason(error)}")
                    return 1
    finally:
        command.stop()
    return 128 + signals.stopped if signals.stopped is not None else 0


# ---------------------------------------------------------------------------------------


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the vestra command with `argv` (default: the process's arguments); returns its
    exit status."""
    try:
        return _main(sys.argv[1:] if argv is None else argv)
    except KeyboardInterrupt:
        return 130


def _main(argv: Sequence[str]) -> int:
    try:
        options = parse(argv)
    except UsageError as error:
        say(f"{error} (see vestra --help)")
        return 2
    except SystemExit as done:  # --help, --version
        return done.code if isinstance(done.code, int) else 0
    if isinstance(sys.stdout, io.TextIOWrapper) and sys.stdout.encoding.lower() != "utf-8":
        # A path the terminal's encoding cannot show is escaped rather than fatal.
        sys.stdout.reconfigure(errors="backslashreplace")
    output = Output(sys.stdout, json_line if options.json else text_line)
    if options.run:
        if (problem := unrunnable(options.command[0])) is not None:
            say(f"cannot run {options.command[0]}: {problem}")
            return 1
        become_subreaper()
    try:
        watch = Watch(
            *options.paths,
            recursive=options.recursive,
            ignore=[*(TOOL_CACHES if options.default_ignore else ()), *options.ignore],
            default_ignore=options.default_ignore,
            debounce=options.debounce,
            coalesce=options.run,
            start=False,
            poll=options.poll,
            poll_interval=options.poll_interval,
        )
    except WatchError as error:
        say(watch_error(error))
        return 1
    except ValueError as error:  # a pattern the watch cannot use
        say(f"{error} (see vestra --help)")
        return 2
    signals = Signals()
    try:
        with watch:
            if not go_live(watch, signals):
                return 128 + (signals.stopped or signal.SIGINT)
            print("watching " + " ".join(options.paths), file=sys.stderr, flush=True)
            if options.run:
                return run_command(watch, signals, options, output)
            return print_changes(watch, signals, output)
    except WatchError as error:
        say(watch_error(error))
        return 1
    except BrokenPipeError:
        # The reader is gone (`vestra | head -1`): end quietly, and let nothing more
        # reach the closed pipe when the interpreter flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 0
    finally:
        signals.close()
