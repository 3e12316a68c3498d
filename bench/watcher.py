"""One watcher process for the benchmark: `python watcher.py vestra|watch|watchdog ROOT`.

It watches ROOT and records (monotonic_ns, event) for every event it is given, doing
nothing else in the callback. Everything is converted to text only when the driver asks
for it, after the measurement. Line protocol, the same as bench/floor/inotify_floor.c:

  stdout, unprompted:  ready <t_event_ns> <t_call_ns> <rss_kb>   (first .bench-ready* event)
                       sync <name> <t_event_ns>                   (every .bench-sync* event)
  stdin "status"  ->   status <events> <utime_ns> <stime_ns> <nvcsw> <nivcsw> <rss_kb>
  stdin "stop"    ->   E\t<t_ns>\t<kind>\t<path>[\t<dest path>] lines, then
                       end <events> <utime_ns> <stime_ns> <nvcsw> <nivcsw> <rss_kb> <maxrss_kb>

The command reader is a thread blocked on stdin: it wakes only when the driver writes.
"""

import os
import resource
import sys
import threading
import time

monotonic_ns = time.monotonic_ns
out_lock = threading.Lock()


def rss_kb() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def emit(line: str) -> None:
    with out_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def rusage_fields(n: int) -> str:
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return (
        f"{n} {int(ru.ru_utime * 1e9)} {int(ru.ru_stime * 1e9)} "
        f"{ru.ru_nvcsw} {ru.ru_nivcsw} {rss_kb()}"
    )


class Recorder:
    def __init__(self, describe):
        self.events: list = []
        self.describe = describe  # event -> (kind, [paths]), used only when dumping
        self.ready = False
        self.t_call = 0

    def marker(self, t: int, path: str) -> None:
        """Called for every event whose path contains '.bench-' (cheap test first)."""
        base = os.path.basename(path)
        if not self.ready and base.startswith(".bench-ready"):
            self.ready = True
            emit(f"ready {t} {self.t_call} {rss_kb()}")
        elif base.startswith(".bench-sync"):
            emit(f"sync {base} {t}")

    def commands(self) -> None:
        for line in sys.stdin:
            cmd = line.strip()
            if cmd == "status":
                emit("status " + rusage_fields(len(self.events)))
            elif cmd == "stop":
                self.stop()
        os._exit(0)  # driver went away

    def stop(self) -> None:
        events = list(self.events)
        tail = rusage_fields(len(events))
        maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        parts = []
        for t, ev in events:
            kind, paths = self.describe(ev)
            parts.append(f"E\t{t}\t{kind}\t" + "\t".join(p for p in paths if p))
        parts.append(f"end {tail} {maxrss}")
        with out_lock:
            sys.stdout.write("\n".join(parts) + "\n")
            sys.stdout.flush()
        os._exit(0)


def run_vestra(root: str) -> None:
    import vestra

    def describe(ev):
        return ev["kind"], ev["paths"]

    rec = Recorder(describe)
    append = rec.events.append

    def callback(ev):
        t = monotonic_ns()
        append((t, ev))
        for p in ev["paths"]:
            if ".bench-" in p:
                rec.marker(t, p)

    threading.Thread(target=rec.commands, daemon=True).start()
    rec.t_call = monotonic_ns()
    vestra.rswatcher(root, callback)
    # rswatcher returned without the callback raising: report what was seen.
    emit("error rswatcher returned")
    rec.stop()


def run_watch(root: str) -> None:
    """vestra.watch with every event handed over at once (no debounce, unless
    VESTRA_BENCH_DEBOUNCE=default asks for the default window) and no filter."""
    from vestra.watch import Watch

    debounce = {} if os.environ.get("VESTRA_BENCH_DEBOUNCE") == "default" else {"debounce": 0}

    def describe(ev):
        return ev.text, list(ev.paths)

    rec = Recorder(describe)
    append = rec.events.append
    threading.Thread(target=rec.commands, daemon=True).start()
    rec.t_call = monotonic_ns()
    with Watch(root, default_ignore=False, **debounce) as watch:
        for batch in watch:
            t = monotonic_ns()
            for ev in batch:
                append((t, ev))
                if ".bench-" in ev.path:
                    rec.marker(t, ev.path)
    emit("error the watch ended")
    rec.stop()


def run_watchdog(root: str) -> None:
    from watchdog.events import FileSystemEventHandler
    from watchdog.observers.inotify import InotifyObserver

    def describe(ev):
        kind = ("dir_" if ev.is_directory else "") + ev.event_type
        return kind, [ev.src_path, getattr(ev, "dest_path", "")]

    rec = Recorder(describe)
    append = rec.events.append

    class Handler(FileSystemEventHandler):
        def on_any_event(self, event):
            t = monotonic_ns()
            append((t, event))
            for p in (event.src_path, event.dest_path):
                if p and ".bench-" in p:
                    rec.marker(t, p)

    observer = InotifyObserver()
    rec.t_call = monotonic_ns()
    observer.schedule(Handler(), root, recursive=True)
    observer.start()
    rec.commands()


def main() -> None:
    impl, root = sys.argv[1], os.path.realpath(sys.argv[2])
    {"vestra": run_vestra, "watch": run_watch, "watchdog": run_watchdog}[impl](root)


if __name__ == "__main__":
    main()
