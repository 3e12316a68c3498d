#!/usr/bin/env python3
"""Benchmark driver: the same workloads against vestra (rswatcher and vestra.watch), watchdog
and a minimal C inotify reader.

Usage (from the repo root):  python bench/run.py [--quick] [--cases ...] [--watchers ...]
See bench/README.md.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import queue
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
BUILD = BENCH / "build"
RESULTS = BENCH / "results"
VENV = BENCH / ".venv"
ALL_CASES = ["burst", "tree", "latency", "startup", "rename", "idle", "close", "prune", "polling"]
ALL_WATCHERS = ["floor", "vestra", "watch", "watchdog"]
# The module each Python watcher imports.
MODULES = {"vestra": "vestra", "watch": "vestra.watch", "watchdog": "watchdog"}
# Cases that measure what only some watchers have.
ONLY = {"close": {"watch"}, "prune": {"watch"}, "polling": {"vestra"}}
# The watchers compared with the floor, each in a ratio column.
RATIOS = ["vestra", "watch"]
now = time.monotonic_ns

FULL = {
    "burst_files": 100_000,
    "tree": (200, 10, 10),  # chains, depth, files per directory
    "latency_ops": 300,
    "latency_interval_us": 5000,
    "startup_dirs": [10_000, 50_000],
    "rename_dirs": 50_000,
    "idle_seconds": 10.0,
    "poll_cost_entries": 10_000,
    "poll_idle_entries": 100_000,
    "poll_latency_ops": 30,
    "close_rounds": 500,
    "prune_modules": 100_000,  # directories in node_modules
    "quiet_s": 0.8,  # no new event for this long after the sync marker: done
    "repeat": 3,
}
QUICK = {
    "burst_files": 2000,
    "tree": (10, 4, 3),
    "latency_ops": 20,
    "latency_interval_us": 5000,
    "startup_dirs": [300],
    "rename_dirs": 300,
    "idle_seconds": 0.6,
    "poll_cost_entries": 1000,
    "poll_idle_entries": 2000,
    "poll_latency_ops": 4,
    "close_rounds": 20,
    "prune_modules": 300,
    "quiet_s": 0.25,
    "repeat": 1,
}
# watchdog holds back an unpaired IN_MOVED_FROM for about half a second before calling it a
# deletion, so the settle time after the move-out phase must be longer than that.
MOVE_OUT_QUIET_S = 0.8


class BenchError(Exception):
    pass


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- build & interpreters


def compile_c(src: Path, out: Path) -> Path:
    BUILD.mkdir(exist_ok=True)
    if not out.exists() or out.stat().st_mtime < src.stat().st_mtime:
        cc = os.environ.get("CC", "cc")
        subprocess.run([cc, "-O2", "-Wall", "-o", str(out), str(src)], check=True)
    return out


def can_import(python: str, module: str) -> bool:
    r = subprocess.run([python, "-c", f"import {module}"], capture_output=True)
    return r.returncode == 0


def module_version(python: str, dist: str) -> str:
    code = f"import importlib.metadata as m; print(m.version({dist!r}))"
    r = subprocess.run([python, "-c", code], capture_output=True, text=True)
    return r.stdout.strip() or "?"


def find_pythons(args, wanted: list[str]) -> dict[str, str]:
    """The interpreter to run each Python watcher with."""
    candidates = [args.python] if args.python else [sys.executable, str(VENV / "bin" / "python")]
    candidates = [c for c in candidates if Path(c).exists()]
    found: dict[str, str] = {}
    for name in ("vestra", "watch", "watchdog"):
        if name not in wanted:
            continue
        for py in candidates:
            if can_import(py, MODULES[name]):
                found[name] = py
                break
    if "watchdog" in wanted and "watchdog" not in found and not args.python and not args.strict:
        log(f"installing watchdog into {VENV} ...")
        if not (VENV / "bin" / "python").exists():
            subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
        subprocess.run(
            [str(VENV / "bin" / "python"), "-m", "pip", "install", "-q", "--upgrade", "watchdog"],
            check=True,
        )
        found["watchdog"] = str(VENV / "bin" / "python")
    return found


# ---------------------------------------------------------------- /proc sampling


def threads(pid: int) -> dict[str, tuple[int, int]]:
    """(CPU ns, context switches) of each live thread of PID, keyed "tid:name"."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                cpu_ns = int(f.read().split()[0])
            ctx = 0
            with open(f"/proc/{pid}/task/{tid}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        ctx += int(line.split()[1])
            out[f"{tid}:{name}"] = (cpu_ns, ctx)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return out


def proc_sample(pid: int) -> dict:
    """CPU time and context switches summed over all live threads of PID."""
    th = threads(pid)
    return {"t": now(), "cpu_ns": sum(c for c, _ in th.values()),
            "ctx": sum(x for _, x in th.values()), "threads": th}


# ---------------------------------------------------------------- a watcher process


class Watcher:
    """A watcher process and the line protocol it speaks (see bench/watcher.py)."""

    def __init__(
        self, name: str, argv: list[str], root: Path, log_path: Path, env: dict | None = None
    ):
        self.name, self.root = name, root
        self.cond = threading.Condition()
        self.ready: tuple[int, int, int] | None = None
        self.syncs: dict[str, int] = {}
        self.statuses: queue.Queue = queue.Queue()
        self.event_lines: list[str] = []
        self.end: list[int] | None = None
        self.eof = False
        self.errors: list[str] = []
        self.log_path = log_path
        self._log = open(log_path, "w")
        self.t_spawn = now()
        self.p = subprocess.Popen(
            argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log,
            text=True, bufsize=1, env={**os.environ, **env} if env else None,
        )
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.marker_seq = 0

    def _read(self) -> None:
        for line in self.p.stdout:
            if line.startswith("E\t"):
                self.event_lines.append(line.rstrip("\n"))
                continue
            w = line.split()
            with self.cond:
                if not w:
                    pass
                elif w[0] == "ready":
                    self.ready = (int(w[1]), int(w[2]), int(w[3]))
                elif w[0] == "sync":
                    self.syncs[w[1]] = int(w[2])
                elif w[0] == "status":
                    self.statuses.put([int(x) for x in w[1:]])
                elif w[0] == "end":
                    self.end = [int(x) for x in w[1:]]
                else:
                    self.errors.append(line.strip())
                self.cond.notify_all()
        with self.cond:
            self.eof = True
            self.cond.notify_all()
        self.statuses.put(None)

    def _wait(self, pred, timeout: float) -> bool:
        with self.cond:
            return self.cond.wait_for(lambda: pred() or self.eof, timeout) and pred()

    def _send(self, cmd: str) -> None:
        try:
            self.p.stdin.write(cmd + "\n")
            self.p.stdin.flush()
        except (BrokenPipeError, OSError) as e:
            raise BenchError(f"{self.name}: process gone ({e}); see {self.log_path}")

    def _touch(self, path: Path) -> None:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT, 0o644))

    def wait_ready(self, interval: float, timeout: float) -> tuple[int, int, int]:
        """Create marker files in the root every INTERVAL until one is reported."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.marker_seq += 1
            self._touch(self.root / f".bench-ready-{self.marker_seq}")
            if self._wait(lambda: self.ready is not None, interval):
                return self.ready
            if self.eof:
                break
        raise BenchError(f"{self.name}: not ready after {timeout:.0f}s; see {self.log_path}")

    def sync(self, timeout: float = 60.0) -> int:
        """Create a sync marker and wait until the watcher reports it (retrying now and then)."""
        deadline = time.monotonic() + timeout
        names: list[str] = []  # any of them will do: each was made after the changes
        while time.monotonic() < deadline:
            self.marker_seq += 1
            names.append(f".bench-sync-{self.marker_seq}")
            self._touch(self.root / names[-1])
            if self._wait(lambda: any(n in self.syncs for n in names), 1.0):
                return min(self.syncs[n] for n in names if n in self.syncs)
            if self.eof:
                break
        raise BenchError(f"{self.name}: sync marker not seen after {timeout:.0f}s")

    def status(self, timeout: float = 30.0) -> list[int]:
        self._send("status")
        try:
            s = self.statuses.get(timeout=timeout)
        except queue.Empty:
            s = None
        if s is None:
            raise BenchError(f"{self.name}: no status reply; see {self.log_path}")
        return s

    def settle(self, quiet: float, timeout: float = 120.0) -> list[int]:
        """Sync, then wait until no new event has arrived for QUIET seconds."""
        self.sync(timeout)
        deadline = time.monotonic() + timeout
        last = self.status()
        since = time.monotonic()
        while time.monotonic() < deadline:
            time.sleep(min(0.1, quiet / 2))
            s = self.status()
            if s[0] != last[0]:
                last, since = s, time.monotonic()
            elif time.monotonic() - since >= quiet:
                return s
        raise BenchError(f"{self.name}: events still arriving after {timeout:.0f}s")

    def stop(self, timeout: float = 120.0) -> tuple[list[tuple], list[int]]:
        self._send("stop")
        if not self._wait(lambda: self.end is not None, timeout):
            raise BenchError(f"{self.name}: no final report; see {self.log_path}")
        self._reader.join(timeout)
        events = []
        for line in self.event_lines:
            parts = line.split("\t")
            events.append((int(parts[1]), parts[2], [p for p in parts[3:] if p]))
        return events, self.end

    def close(self) -> None:
        if self.p.poll() is None:
            self.p.kill()
        try:
            self.p.wait(10)
        except subprocess.TimeoutExpired:
            pass
        self._log.close()


# ---------------------------------------------------------------- event categories


def category(watcher: str, kind: str) -> str:
    """create | remove | modify | rename | overflow | access | other"""
    if watcher in ("vestra", "watch"):
        if kind.startswith("Create"):
            return "create"
        if kind.startswith("Remove"):
            return "remove"
        if kind.startswith("Modify(Name"):
            return "rename"
        if kind.startswith("Modify"):
            return "modify"
        if kind == "Other":
            return "overflow"
        return "other"
    if watcher == "watchdog":
        k = kind.removeprefix("dir_")
        return {
            "created": "create", "deleted": "remove", "modified": "modify", "moved": "rename",
            "opened": "access", "closed": "access", "closed_no_write": "access",
        }.get(k, "other")
    return {
        "create": "create", "create_dir": "create", "scan_file": "create", "scan_dir": "create",
        "delete": "remove", "delete_self": "remove", "modify": "modify", "attrib": "modify",
        "moved_from": "rename", "moved_to": "rename", "move_self": "rename",
        "overflow": "overflow", "watch_failed": "overflow",
    }.get(kind, "other")


def workload_events(events: list[tuple]) -> list[tuple]:
    """Drop the events of the driver's own marker files."""
    return [e for e in events if not any("/.bench-" in p for p in e[2])]


def percentile(values: list[float], q: float) -> float:
    if not values:
        return float("nan")
    s = sorted(values)
    k = (len(s) - 1) * q
    lo = int(k)
    hi = min(lo + 1, len(s) - 1)
    return s[lo] + (s[hi] - s[lo]) * (k - lo)


# ---------------------------------------------------------------- the driver


class Runner:
    def __init__(self, args, sizes: dict, watchers: list[str], pythons: dict[str, str]):
        self.args, self.sizes, self.watchers, self.pythons = args, sizes, watchers, pythons
        self.floor = compile_c(BENCH / "floor" / "inotify_floor.c", BUILD / "inotify_floor")
        self.gen = compile_c(BENCH / "gen" / "gen.c", BUILD / "gen")
        self.logs = RESULTS / "logs"
        self.logs.mkdir(parents=True, exist_ok=True)
        self.tmp_base = args.tmpdir
        self.details: dict = {}  # extra per-run data for the JSON only

    def argv(self, watcher: str, root: Path) -> list[str]:
        if watcher == "floor":
            return [str(self.floor), str(root)]
        return [self.pythons[watcher], str(BENCH / "watcher.py"), watcher, str(root)]

    def start(self, watcher: str, root: Path, tag: str, env: dict | None = None) -> Watcher:
        return Watcher(
            watcher, self.argv(watcher, root), root, self.logs / f"{tag}-{watcher}.log", env
        )

    def gen_run(self, *args, timeout: float = 600) -> list[str]:
        r = subprocess.run(
            [str(self.gen), *map(str, args)], capture_output=True, text=True, timeout=timeout
        )
        if r.returncode != 0:
            raise BenchError(f"generator {args[0]} failed: {r.stderr.strip()}")
        return r.stdout.split("\n")

    def mkdtemp(self) -> Path:
        return Path(tempfile.mkdtemp(prefix="vestra-bench-", dir=self.tmp_base)).resolve()

    # --- burst ---------------------------------------------------------------

    def case_burst(self, watcher: str, tag: str) -> dict:
        n = self.sizes["burst_files"]
        tmp = self.mkdtemp()
        w = None
        try:
            root = tmp / "w"
            (root / "burst").mkdir(parents=True)
            # The watch gathers a burst as a user's would: with its default debounce window
            # (the latency cases use none).
            w = self.start(watcher, root, tag, {"VESTRA_BENCH_DEBOUNCE": "default"})
            w.wait_ready(0.01, 60)
            w.sync()
            s0 = w.status()
            th0 = threads(w.p.pid)
            t_start, t_end = map(int, self.gen_run("burst", root / "burst", n)[0].split())
            s1 = w.settle(self.sizes["quiet_s"], timeout=300)
            th1 = threads(w.p.pid)
            events, _ = w.stop()
        finally:
            if w:
                w.close()
            shutil.rmtree(tmp, ignore_errors=True)
        prefix = str(root / "burst") + "/"
        ev = [e for e in workload_events(events) if e[0] >= t_start and any(
            p.startswith(prefix) for p in e[2])]
        created = {p for t, k, ps in ev if category(watcher, k) == "create" for p in ps}
        created = {p for p in created if p.startswith(prefix)}
        # watchdog has no event for a kernel-queue overflow: its loss tells instead
        overflows = None if watcher == "watchdog" else sum(
            1 for e in workload_events(events)
            if e[0] >= t_start and category(watcher, e[1]) == "overflow")
        cpu_ms = ((s1[1] + s1[2]) - (s0[1] + s0[2])) / 1e6
        ctx = (s1[3] + s1[4]) - (s0[3] + s0[4])
        n_ev = len(ev)
        # the busiest thread: the one a watcher cannot spread over more cores
        per_thread = sorted(((v[0] - th0.get(k, (0, 0))[0]) / 1e6, k) for k, v in th1.items())
        busiest = per_thread[-1] if per_thread else (None, "")
        self.details.setdefault("burst cpu ms by thread", {}).setdefault(watcher, []).append(
            {k: round(ms, 1) for ms, k in per_thread})
        return {
            "files created": n,
            "gen duration ms": (t_end - t_start) / 1e6,
            "creates seen": len(created),
            "lost %": 100.0 * (n - len(created)) / n,
            "events delivered": n_ev,
            "overflow events": overflows,
            "lag gen end -> last event ms": (max(e[0] for e in ev) - t_end) / 1e6 if ev else None,
            "cpu ms / 1k files": cpu_ms * 1000 / n,
            "cpu ms / 1k events": cpu_ms * 1000 / n_ev if n_ev else None,
            "busiest thread cpu ms / 1k files": busiest[0] * 1000 / n if busiest[0] else None,
            "threads using > 1% of cpu": sum(1 for ms, _ in per_thread if ms > 0.01 * cpu_ms),
            "ctx switches / 1k files": ctx * 1000 / n,
        }

    # --- tree race -----------------------------------------------------------

    def case_tree(self, watcher: str, tag: str) -> dict:
        chains, depth, files = self.sizes["tree"]
        tmp = self.mkdtemp()
        w = None
        try:
            root = tmp / "w"
            (root / "tree").mkdir(parents=True)
            w = self.start(watcher, root, tag)
            w.wait_ready(0.01, 60)
            w.sync()
            t_start, t_end = map(int, self.gen_run(
                "tree", root / "tree", chains, depth, files)[0].split())
            w.settle(self.sizes["quiet_s"], timeout=300)
            events, _ = w.stop()
        finally:
            if w:
                w.close()
            shutil.rmtree(tmp, ignore_errors=True)
        want_dirs, want_files = set(), set()
        for c in range(chains):
            d = str(root / "tree" / f"c{c:03d}")
            for level in range(depth):
                if level:
                    d += f"/d{level}"
                want_dirs.add(d)
                want_files.update(f"{d}/f{f}" for f in range(files))
        seen = {p for t, k, ps in workload_events(events) if category(watcher, k) == "create"
                for p in ps}
        ev = [e for e in workload_events(events) if e[0] >= t_start]
        return {
            "dirs made": len(want_dirs),
            "files made": len(want_files),
            "dirs reported %": 100.0 * len(seen & want_dirs) / len(want_dirs),
            "files reported %": 100.0 * len(seen & want_files) / len(want_files),
            "gen duration ms": (t_end - t_start) / 1e6,
            "lag gen end -> last event ms": (max(e[0] for e in ev) - t_end) / 1e6 if ev else None,
        }

    # --- latency -------------------------------------------------------------

    def case_latency(self, watcher: str, tag: str) -> dict:
        n, interval = self.sizes["latency_ops"], self.sizes["latency_interval_us"]
        tmp = self.mkdtemp()
        w = None
        phases = {}
        try:
            root, outside = tmp / "w", tmp / "outside"
            for d in ("create", "ren_a", "ren_b", "moveout"):
                (root / d).mkdir(parents=True)
            outside.mkdir()
            for d in ("ren_a", "moveout"):
                for i in range(n):
                    (root / d / f"p{i:05d}").touch()
            w = self.start(watcher, root, tag)
            w.wait_ready(0.01, 60)
            w.sync()
            plan = [
                ("create", ("create", root / "create", "-"), root / "create"),
                ("rename", ("rename", root / "ren_a", root / "ren_b"), root / "ren_b"),
                ("move out", ("moveout", root / "moveout", outside), root / "moveout"),
            ]
            for name, gargs, target_dir in plan:
                lines = self.gen_run("paced", *gargs, n, interval)
                ops = {}
                for line in lines:
                    if line:
                        i, t = line.split()
                        ops[str(target_dir / f"p{int(i):05d}")] = int(t)
                phases[name] = ops
                w.sync()  # phases are told apart by path: no need to wait for quiet
            w.settle(max(MOVE_OUT_QUIET_S, self.sizes["quiet_s"]))
            events, _ = w.stop()
        finally:
            if w:
                w.close()
            shutil.rmtree(tmp, ignore_errors=True)
        first: dict[str, int] = {}
        for t, k, ps in workload_events(events):
            for p in ps:
                if p not in first or t < first[p]:
                    first[p] = t
        out = {}
        for name, ops in phases.items():
            lat = [(first[p] - t) / 1e3 for p, t in ops.items() if p in first and first[p] >= t]
            out[f"{name} p50 us"] = percentile(lat, 0.5)
            out[f"{name} p90 us"] = percentile(lat, 0.9)
            out[f"{name} p99 us"] = percentile(lat, 0.99)
            out[f"{name} max us"] = max(lat) if lat else None
            out[f"{name} missed"] = len(ops) - len(lat)
        return out

    # --- startup -------------------------------------------------------------

    @staticmethod
    def make_dirs(root: Path, n: int, mkroot: bool = False) -> None:
        """N directories: groups of 100 (gNNNN with 99 subdirectories dNN each)."""
        if mkroot:
            root.mkdir(parents=True)
        for i in range(n):
            g = root / f"g{i // 100:04d}"
            os.mkdir(g if i % 100 == 0 else g / f"d{i % 100:02d}")

    def startup_tree(self, n: int) -> Path:
        tmp = self.mkdtemp()
        (tmp / "w").mkdir()
        self.make_dirs(tmp / "w", n)
        return tmp

    def case_startup(self, watcher: str, tag: str, tmp: Path, n: int) -> dict:
        root = tmp / "w"
        for p in root.rglob(".bench-*"):
            p.unlink()
        # Directories spread over the tree: a file is made in each right after the first
        # event. Seen = that directory was watched by then (the watch was complete).
        dirs = sorted(p for p in root.glob("g*/d*"))
        probes = [dirs[i * len(dirs) // 20] / ".bench-probe" for i in range(20)] if dirs else []
        w = self.start(watcher, root, tag)
        try:
            t_event, t_call, rss_kb = w.wait_ready(0.005, 600)
            for p in probes:
                p.touch()
            w.sync()
            events, _ = w.stop()
        finally:
            w.close()
        seen = {p for _, _, ps in events for p in ps}
        probed = sum(1 for p in probes if str(p) in seen)
        return {
            f"{n} dirs: call -> first event ms": (t_event - t_call) / 1e6,
            f"{n} dirs: process start -> first event ms": (t_event - w.t_spawn) / 1e6,
            f"{n} dirs: RSS at first event MB": rss_kb / 1024,
            f"{n} dirs: watched at first event %": 100.0 * probed / len(probes) if probes else None,
        }

    # --- rename of a big directory -------------------------------------------

    @staticmethod
    def loop_thread_cpu_ns(watcher: str, th: dict) -> int:
        """CPU of the thread that reads the kernel's events (the only one, for floor)."""
        if watcher in ("vestra", "watch"):
            return sum(c for k, (c, _) in th.items() if k.split(":", 1)[1].startswith("murmelant"))
        return sum(c for c, _ in th.values())

    def case_rename(self, watcher: str, tag: str) -> dict:
        n = self.sizes["rename_dirs"]
        tmp = self.mkdtemp()
        w = None
        try:
            root = tmp / "w"
            (root / "big").mkdir(parents=True)
            for i in range(n):
                os.mkdir(root / "big" / f"d{i:05d}")
            w = self.start(watcher, root, tag)
            w.wait_ready(0.01, 600)
            w.sync()
            th0 = threads(w.p.pid)
            w.sync()  # what a sync alone costs, taken off below
            th1 = threads(w.p.pid)
            os.rename(root / "big", root / "moved")
            w.sync()
            th2 = threads(w.p.pid)
            probe = root / "moved" / f"d{n // 2:05d}" / "probe"
            self_touch = os.open(probe, os.O_WRONLY | os.O_CREAT, 0o644)
            os.close(self_touch)
            w.sync()
            events, _ = w.stop()
        finally:
            if w:
                w.close()
            shutil.rmtree(tmp, ignore_errors=True)
        sync_ns = self.loop_thread_cpu_ns(watcher, th1) - self.loop_thread_cpu_ns(watcher, th0)
        rename_ns = self.loop_thread_cpu_ns(watcher, th2) - self.loop_thread_cpu_ns(watcher, th1)
        seen = any(str(probe) in ps for _, _, ps in events)
        return {
            f"{n} subdirectories: reading thread cpu ms": max(rename_ns - sync_ns, 0) / 1e6,
            f"{n} subdirectories: later change under the new path %": 100.0 if seen else 0.0,
        }

    # --- idle ----------------------------------------------------------------

    def case_idle(self, watcher: str, tag: str, tmp: Path) -> dict:
        root = tmp / "w"
        w = self.start(watcher, root, tag)
        try:
            w.wait_ready(0.01, 60)
            w.settle(self.sizes["quiet_s"])
            time.sleep(min(0.5, self.sizes["idle_seconds"] / 4))
            a = proc_sample(w.p.pid)
            time.sleep(self.sizes["idle_seconds"])
            b = proc_sample(w.p.pid)
            w.stop()
        finally:
            w.close()
        for p in root.glob(".bench-*"):
            p.unlink()
        secs = (b["t"] - a["t"]) / 1e9
        self.details.setdefault("idle wake-ups/s by thread", {}).setdefault(watcher, []).append(
            {k: round((v[1] - a["threads"].get(k, (0, 0))[1]) / secs, 2)
             for k, v in b["threads"].items()})
        return {
            "cpu ms / s": (b["cpu_ns"] - a["cpu_ns"]) / 1e6 / secs,
            "wake-ups / s": (b["ctx"] - a["ctx"]) / secs,
        }

    # --- polling (vestra only) -------------------------------------------------

    @staticmethod
    def make_entries(root: Path, n: int) -> None:
        """N entries: directories of 99 files each."""
        for i in range(n):
            d = root / f"p{i // 100:04d}"
            if i % 100 == 0:
                d.mkdir()
            else:
                os.close(os.open(d / f"f{i % 100:02d}", os.O_WRONLY | os.O_CREAT, 0o644))

    def quiet_cpu_ms_per_s(self, w: Watcher, seconds: float) -> float:
        w.settle(self.sizes["quiet_s"] + 1.0)
        a = proc_sample(w.p.pid)
        time.sleep(seconds)
        b = proc_sample(w.p.pid)
        return (b["cpu_ns"] - a["cpu_ns"]) / 1e6 / ((b["t"] - a["t"]) / 1e9)

    def case_polling(self, watcher: str, tag: str) -> dict:
        """Every directory polled (VESTRA_POLL=1): the processor time of one poll of a quiet
        tree, the idle processor time of a big tree at the default interval, and how long a
        new file takes to be reported (about half the interval, by design)."""
        if watcher != "vestra":
            return {}
        s = self.sizes
        out: dict = {}
        cost_interval = 0.5  # far above what a poll of this tree costs: never stretched
        for name, entries, interval in (
            ("cost", s["poll_cost_entries"], cost_interval),
            ("idle", s["poll_idle_entries"], None),
        ):
            tmp = self.mkdtemp()
            w = None
            try:
                root = tmp / "w"
                root.mkdir()
                self.make_entries(root, entries)
                env = {"VESTRA_POLL": "1"}
                if interval:
                    env["VESTRA_POLL_INTERVAL"] = str(interval)
                w = self.start(watcher, root, f"{tag}-{name}", env)
                w.wait_ready(0.2, 120)
                cpu = self.quiet_cpu_ms_per_s(w, s["idle_seconds"])
                if interval:
                    out["cpu ms per poll per 10,000 entries"] = cpu * interval * 10_000 / entries
                    w.stop()
                else:
                    out[f"idle cpu ms / s, {entries:,} entries, 1 s interval"] = cpu
                    out.update(self.polled_latency(w, root, s["poll_latency_ops"]))
            finally:
                if w:
                    w.close()
                shutil.rmtree(tmp, ignore_errors=True)
        return out

    def polled_latency(self, w: Watcher, root: Path, n: int) -> dict:
        """New files at moments spread over the polling interval, one at a time."""
        made = {}
        step = 0.137  # not a divisor of the interval: the moments fall all over it
        for i in range(n):
            path = root / f"new-{i:04d}"
            made[str(path)] = now()
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT, 0o644))
            time.sleep(step)
        w.sync()
        w.settle(self.sizes["quiet_s"] + 1.0)
        events, _ = w.stop()
        first: dict[str, int] = {}
        for t, _, ps in workload_events(events):
            for p in ps:
                first.setdefault(p, t)
        lat = [(first[p] - t) / 1e6 for p, t in made.items() if p in first]
        return {
            "new file reported p50 ms": percentile(lat, 0.5),
            "new file reported p90 ms": percentile(lat, 0.9),
            "new file missed": n - len(lat),
        }

    # --- close and prune: vestra.watch in a process of its own ------------------

    def run_watch_code(self, code: str, *args, timeout: float = 600) -> dict:
        """Runs `code` (a Python program printing one JSON line) with the watch's Python."""
        r = subprocess.run(
            [self.pythons["watch"], "-c", code, *map(str, args)],
            capture_output=True, text=True, timeout=timeout,
        )
        if r.returncode != 0:
            raise BenchError(f"watch program failed: {r.stderr.strip()[-500:]}")
        return json.loads(r.stdout)

    CLOSE = r"""
import json, os, sys, threading, time
from vestra.watch import Watch

root, rounds = sys.argv[1], int(sys.argv[2])
waits = []
for _ in range(rounds):
    watch = Watch(root)
    returned = []

    def read():
        watch.read()
        returned.append(time.monotonic_ns())

    reader = threading.Thread(target=read)
    reader.start()
    time.sleep(0.005)  # the reader is blocked in read() by then
    closing = time.monotonic_ns()
    watch.close()
    reader.join(10)
    waits.append((returned[0] - closing) / 1e3)
print(json.dumps(waits))
"""

    def case_close(self, watcher: str, tag: str) -> dict:
        tmp = self.mkdtemp()
        try:
            waits = self.run_watch_code(self.CLOSE, tmp, self.sizes["close_rounds"])
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        return {
            "close() -> reader returns p50 us": percentile(waits, 0.5),
            "close() -> reader returns p99 us": percentile(waits, 0.99),
        }

    PRUNE = r"""
import json, os, sys, time
from vestra.watch import Watch

def watches():
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == "anon_inode:inotify":
                with open(f"/proc/self/fdinfo/{name}") as info:
                    count += sum(line.startswith("inotify wd:") for line in info)
        except OSError:
            pass
    return count

root, default_ignore = sys.argv[1], sys.argv[2] == "1"
started = time.monotonic_ns()
with Watch(root, default_ignore=default_ignore) as watch:
    ready = time.monotonic_ns()
    print(json.dumps({"ms": (ready - started) / 1e6, "watches": watches()}))
"""

    def case_prune(self, watcher: str, tag: str) -> dict:
        tmp = self.mkdtemp()
        n = self.sizes["prune_modules"]
        try:
            root = tmp / "project"
            for d in ("src/app", "tests", "docs"):
                (root / d).mkdir(parents=True)
            self.make_dirs(root / "node_modules", n, mkroot=True)
            out = {}
            for default_ignore, label in ((True, "default rules"), (False, "no rules")):
                found = self.run_watch_code(self.PRUNE, root, int(default_ignore))
                out[f"node_modules of {n:,} dirs, {label}: watches"] = found["watches"]
                out[f"node_modules of {n:,} dirs, {label}: set-up ms"] = found["ms"]
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        return out

    # --- orchestration -------------------------------------------------------

    def order(self, rep: int) -> list[str]:
        k = rep % len(self.watchers)
        return self.watchers[k:] + self.watchers[:k]

    def run(self, cases: list[str], repeat: int) -> dict:
        results: dict = {}  # case -> metric -> watcher -> [values]
        failures: list[str] = []

        def add(case: str, watcher: str, metrics: dict) -> None:
            for m, v in metrics.items():
                results.setdefault(case, {}).setdefault(m, {}).setdefault(watcher, []).append(v)

        def attempt(case: str, watcher: str, rep: int, fn) -> None:
            tag = f"{case}-{rep}"
            t0 = time.monotonic()
            try:
                add(case, watcher, fn(tag))
                log(f"  {case:8} rep {rep + 1}/{repeat} {watcher:9} ok ({time.monotonic() - t0:.1f}s)")
            except (BenchError, subprocess.SubprocessError, OSError) as e:
                failures.append(f"{case} rep {rep + 1} {watcher}: {e}")
                log(f"  {case:8} rep {rep + 1}/{repeat} {watcher:9} FAILED: {e}")

        for case in cases:
            if case == "startup":
                for n in self.sizes["startup_dirs"]:
                    tmp = self.startup_tree(n)
                    try:
                        for rep in range(repeat):
                            for w in self.order(rep):
                                attempt(case, w, rep, lambda tag, w=w: self.case_startup(
                                    w, f"{tag}-{n}", tmp, n))
                    finally:
                        shutil.rmtree(tmp, ignore_errors=True)
            elif case == "idle":
                tmp = self.mkdtemp()
                try:
                    (tmp / "w").mkdir()
                    self.make_dirs(tmp / "w", 200)
                    for rep in range(repeat):
                        for w in self.order(rep):
                            attempt(case, w, rep, lambda tag, w=w: self.case_idle(w, tag, tmp))
                finally:
                    shutil.rmtree(tmp, ignore_errors=True)
            else:
                fn = getattr(self, f"case_{case}")
                for rep in range(repeat):
                    for w in self.order(rep):
                        if w in ONLY.get(case, (w,)):
                            attempt(case, w, rep, lambda tag, w=w: fn(w, tag))
        return {"results": results, "failures": failures}


# ---------------------------------------------------------------- reporting


def summarize(results: dict) -> dict:
    out: dict = {}
    for case, metrics in results.items():
        for metric, per in metrics.items():
            for watcher, values in per.items():
                vals = [v for v in values if isinstance(v, (int, float)) and v == v]
                entry = {"values": values}
                if vals:
                    entry.update(median=statistics.median(vals), min=min(vals), max=max(vals))
                out.setdefault(case, {}).setdefault(metric, {})[watcher] = entry
    return out


def fmt(x) -> str:
    if x is None:
        return "-"
    if isinstance(x, int) or (isinstance(x, float) and x.is_integer() and abs(x) >= 100):
        return f"{int(x):,}"
    a = abs(x)
    if a >= 100:
        return f"{x:,.0f}"
    if a >= 10:
        return f"{x:.1f}"
    if a >= 1:
        return f"{x:.2f}"
    return f"{x:.3f}" if a else "0"


def cell(entry: dict | None, repeat: int) -> str:
    if not entry or "median" not in entry:
        return "n/a"
    s = fmt(entry["median"])
    if len(entry["values"]) > 1 and entry["min"] != entry["max"]:
        s += f" [{fmt(entry['min'])}-{fmt(entry['max'])}]"
    return s


def table(summary: dict, watchers: list[str], repeat: int) -> str:
    cols = [w for w in ALL_WATCHERS if w in watchers]
    header = ["case / metric", *cols]
    ratios = [w for w in RATIOS if "floor" in cols and w in cols]
    header += [f"{w}/floor" for w in ratios]
    rows = []
    for case, metrics in summary.items():
        for metric, per in metrics.items():
            row = [f"{case} / {metric}"] + [cell(per.get(w), repeat) for w in cols]
            for w in ratios:
                f, v = per.get("floor", {}).get("median"), per.get(w, {}).get("median")
                row.append(f"{v / f:.2f}x" if f is not None and v is not None and f > 0 and v >= 0
                           else "-")
            rows.append(row)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    lines = ["  ".join(h.ljust(widths[i]) if i == 0 else h.rjust(widths[i])
                       for i, h in enumerate(header))]
    lines.append("  ".join("-" * w for w in widths))
    for r in rows:
        lines.append("  ".join(c.ljust(widths[i]) if i == 0 else c.rjust(widths[i])
                               for i, c in enumerate(r)))
    return "\n".join(lines)


# What must hold for every watcher in a strict run; the sizes are small enough for all of them.
LOSSLESS = {"lost %": 0, "overflow events": 0, "dirs reported %": 100, "files reported %": 100}


def losses(results: dict) -> list[str]:
    """Every value in `results` that shows an event lost or missed."""
    found = []
    for case, metrics in results.items():
        for metric, per_watcher in metrics.items():
            wanted = 0 if metric.endswith(" missed") else LOSSLESS.get(metric)
            if wanted is None:
                continue
            for watcher, values in per_watcher.items():
                bad = [v for v in values if v is not None and v != wanted]
                if bad:
                    found.append(f"{case} {watcher}: {metric} {bad} (expected {wanted})")
    return found


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="tiny sizes, 1 repetition: a smoke run")
    ap.add_argument("--cases", default=",".join(ALL_CASES), help="comma list of " + ",".join(ALL_CASES))
    ap.add_argument("--watchers", default=None, help="comma list of " + ",".join(ALL_WATCHERS))
    ap.add_argument("--repeat", type=int, default=None, help="repetitions per case (default 3)")
    ap.add_argument("--python", default=None,
                    help="interpreter that imports vestra and watchdog (default: this one, "
                         "then bench/.venv, where watchdog is installed if missing)")
    ap.add_argument("--tmpdir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                    help="where the watched trees are made (default /dev/shm, a tmpfs: "
                         "the generator is not slowed by the disk)")
    ap.add_argument("--json", default=str(RESULTS / "latest.json"), help="where to write results")
    ap.add_argument("--strict", action="store_true",
                    help="fail unless every watcher runs and none loses or misses an event "
                         "(the test command's smoke run); watchdog is never installed")
    args = ap.parse_args()

    # Let SIGTERM unwind through the finally blocks that remove the temporary trees.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    sizes = dict(QUICK if args.quick else FULL)
    repeat = args.repeat or sizes["repeat"]
    cases = [c for c in args.cases.split(",") if c]
    bad = [c for c in cases if c not in ALL_CASES]
    if bad:
        ap.error(f"unknown case(s): {bad}")
    explicit = args.watchers is not None
    watchers = [w for w in (args.watchers or ",".join(ALL_WATCHERS)).split(",") if w]
    bad = [w for w in watchers if w not in ALL_WATCHERS]
    if bad:
        ap.error(f"unknown watcher(s): {bad}")

    pythons = find_pythons(args, watchers)
    missing = [w for w in watchers if w != "floor" and w not in pythons]
    for w in missing:
        fatal = explicit or args.strict
        log(f"{'error' if fatal else 'warning'}: {w} cannot be imported by any interpreter "
            f"tried{'' if fatal else '; skipping it'}")
    if missing and (explicit or args.strict):
        return 2
    watchers = [w for w in watchers if w not in missing]
    if not watchers:
        log("no watcher to run")
        return 2

    RESULTS.mkdir(exist_ok=True)
    runner = Runner(args, sizes, watchers, pythons)
    meta = {
        "date": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "host": platform.node(),
        "kernel": platform.release(),
        "cpus": os.cpu_count(),
        "loadavg_start": os.getloadavg(),
        "quick": args.quick,
        "repeat": repeat,
        "sizes": sizes,
        "pythons": pythons,
        "versions": {w: module_version(py, MODULES[w].split(".")[0]) for w, py in pythons.items()},
        "repo": subprocess.run(["git", "-C", str(BENCH), "describe", "--always", "--dirty"],
                               capture_output=True, text=True).stdout.strip(),
        "inotify": {
            k: int(Path(f"/proc/sys/fs/inotify/{k}").read_text())
            for k in ("max_queued_events", "max_user_watches", "max_user_instances")
        },
        "tmpdir": args.tmpdir or tempfile.gettempdir(),
        "generator": "bench/gen/gen.c (C, open(O_CREAT|O_EXCL)+close / mkdir / rename)",
    }
    log(f"watchers: {', '.join(watchers)}; cases: {', '.join(cases)}; repeat {repeat}")
    t0 = time.monotonic()
    out = runner.run(cases, repeat)
    meta["seconds"] = round(time.monotonic() - t0, 1)
    meta["loadavg_end"] = os.getloadavg()
    if args.strict:
        out["failures"] += losses(out["results"])
    summary = summarize(out["results"])
    doc = {"meta": meta, "summary": summary, "details": runner.details,
           "failures": out["failures"]}
    Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    Path(args.json).write_text(json.dumps(doc, indent=1))

    print(table(summary, watchers, repeat))
    print(f"\nmedian [min-max] of {repeat} run(s); {meta['seconds']}s; "
          f"load {meta['loadavg_start'][0]:.2f} -> {meta['loadavg_end'][0]:.2f}; "
          f"JSON: {os.path.relpath(args.json)}")
    if out["failures"]:
        print("\nfailures:")
        for f in out["failures"]:
            print("  " + f)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
