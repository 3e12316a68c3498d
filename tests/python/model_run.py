"""Runs the model test of test_model.py over many sequences (fixed, the same on every run)
and prints what the replays found, summed: paths missing or extra at the end, events that
no reading explains, phantom paths (never there under that name) and duplicates.

    python model_run.py [SEQUENCES]            # 500 by default
    python model_run.py [SEQUENCES] --shrink   # stop at the first failure, shrink it
    python model_run.py [SEQUENCES] --polled   # every directory polled (VESTRA_POLL=1)
    python model_run.py [SEQUENCES] --watch    # the events read through vestra.watch

With --shrink, hypothesis prints the shortest failing sequence it finds; the failure message
lists its operations and events."""

import sys
import time

from hypothesis import Phase

import test_model


def main(args):
    sequences = int(next((a for a in args if a.isdigit()), 500))
    started = time.monotonic()
    polled = "--polled" in args
    machine = test_model.WatchedTreeThroughWatch if "--watch" in args else test_model.WatchedTree
    if "--shrink" in args:
        test_model.run(
            sequences, steps=12, phases=(Phase.generate, Phase.shrink), polled=polled, machine=machine
        )
        print(f"no failure in {sequences} sequences")
        return 0
    tally = test_model.Tally()
    test_model.run(sequences, steps=25, tally=tally, polled=polled, machine=machine)
    for report in tally.failures[:3]:
        print(f"--- a failing sequence\n{report}\n")
    for report in tally.failures[3:]:
        print(f"--- {report.splitlines()[0]}")
    print(f"{tally.counts} in {time.monotonic() - started:.0f} s")
    return 1 if tally.counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
