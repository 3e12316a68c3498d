"""Measures how vestra holds up under load with the kernel limits in force, and prints the
numbers: leaks over many watches, a burst of creations, churn during set-up, and the start
time on a huge directory. Each workload runs in child processes (see workloads.py).

    python tests/python/measure_reliability.py [--calls N] [--files N] [--rounds N] [--only NAME...]
"""

import argparse
import os
import platform
import sys
import time

import workloads


def read_limit(name):
    try:
        with open(f"/proc/sys/fs/inotify/{name}") as limit:
            return int(limit.read())
    except OSError:
        return None


def mib(value):
    return f"{value / (1 << 20):.2f} MiB"


def measure_leak(args):
    result = workloads.run_leak(calls=args.calls, sample_at=min(100, args.calls))
    print(f"== {args.calls} rswatcher calls in one process, each ended by its callback raising")
    print(f"  open descriptors  before {result['fds_before']}, after {result['fds_after']}")
    print(f"  threads           before {result['threads_before']}, after {result['threads_after']}")
    print(f"  watcher threads left      {result['watcher_threads_left']}")
    print(
        f"  RSS               before {mib(result['rss_before'])}, after {result['sample_at']} calls "
        f"{mib(result['rss_at_sample'])}, after {args.calls} {mib(result['rss_after'])} "
        f"(difference {result['rss_after'] - result['rss_at_sample']:+d} B)"
    )
    print(f"  time              {result['elapsed']:.1f} s ({result['elapsed'] / args.calls * 1000:.1f} ms a call)")


def describe_burst(result):
    root = result["root"]
    full = result["unique_created"] == result["files"]
    overflow = any(path == root for _, path in result["others"])
    if full:
        outcome = "delivered in full"
    elif overflow:
        outcome = "overflow, reported by an Other event for the root"
    else:
        outcome = "SILENT GAP: creations lost with no Other event"
    print(f"  outcome           {outcome}")
    print(
        f"  Create(File)      {result['unique_created']} unique paths of {result['files']} "
        f"({result['create_events']} events), {result['events']} events in all"
    )
    print(f"  Other events      {result['other_count']} {result['others'][:5]}")
    if result["others"]:
        print(f"  creations seen before the first Other: {result['others'][0][0]}")
    print(
        f"  creating took     {result['creation_seconds']:.2f} s; all delivered after "
        f"{result['delivery_seconds']:.2f} s"
    )
    if result["unexpected"]:
        print(f"  unexpected events {result['unexpected']}")


def measure_burst(args):
    for stop_reader in (False, True):
        for number in range(args.rounds):
            result = workloads.run_burst(files=args.files, stop_reader=stop_reader)
            how = (
                "watching process stopped during the burst (nothing drains the queue)"
                if stop_reader
                else "default limits, watcher running"
            )
            print(f"== burst of {args.files} file creations, {how}, round {number + 1}")
            describe_burst(result)


def measure_churn(args):
    rounds = [(True, number) for number in range(args.rounds)] + [(False, 0)]
    for during_setup, number in rounds:
        result = workloads.run_churn(seed=1234 + number, churn_during_setup=during_setup)
        when = "during set-up" if during_setup else "only after set-up (control)"
        print(f"== churn {when}, round {number + 1} (seed {1234 + number})")
        print(f"  directories built {result['built']}")
        print(f"  churn operations  {result['churn']}")
        print(f"  set-up            {result['setup_seconds']:.2f} s from the call to the first event")
        print(
            f"  after the churn   {result['directories_at_check']} directories, "
            f"{result['reported']} reported, {result['missing_count']} missing"
        )
        print(
            f"  watches (kernel)  {result.get('watches_at_marker')}; on a directory whose file "
            f"went unreported {result['watched_unreported_count']}; on no directory of the "
            f"tree {result['watches_on_no_directory']}"
        )
        print(f"  wrong paths       {result['wrong_path_count']} {result['wrong_paths'][:3]}")
        print(
            f"  Other events      {result['others_during_churn_count']} during the churn "
            f"{result['others_during_churn'][:3]}, {len(result['others_after'])} after"
        )
        for path in result["missing"][:10]:
            print(f"    missing {path}")


def measure_big(args):
    for every_nth_is_dir in (0, 100):
        result = workloads.run_big_directory(entries=100_000, every_nth_is_dir=every_nth_is_dir)
        what = "files only" if not every_nth_is_dir else "1 in 100 a directory"
        print(f"== a directory with 100,000 entries ({what}) present at start")
        print(f"  filling took      {result['fill_seconds']:.2f} s")
        print(f"  outcome           {result['outcome']}")
        if result["start_seconds"] is not None:
            print(f"  first event in it {result['start_seconds']:.3f} s after the call")
        if result["inner_seconds"] is not None:
            print(f"  first event in a subdirectory {result['inner_seconds']:.3f} s after the call")


MEASURES = {"leak": measure_leak, "burst": measure_burst, "churn": measure_churn, "big": measure_big}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000, help="watches for the leak check")
    parser.add_argument("--files", type=int, default=200_000, help="files in the burst")
    parser.add_argument("--rounds", type=int, default=1, help="rounds of the burst and churn")
    parser.add_argument("--only", nargs="+", choices=list(MEASURES), default=list(MEASURES))
    args = parser.parse_args()

    print("== machine")
    print(f"  kernel            {platform.release()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    for name in ("max_queued_events", "max_user_watches", "max_user_instances"):
        print(f"  {name:<17} {read_limit(name)}")
    print(f"  scratch           {workloads.scratch_base()}")
    started = time.monotonic()
    for name in args.only:
        MEASURES[name](args)
        sys.stdout.flush()
    print(f"== done in {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main()
