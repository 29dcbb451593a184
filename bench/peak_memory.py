#!/usr/bin/env python3
"""Runs a command and prints the largest sum of memory, in KiB, of the
command and every process it started, sampled every few milliseconds from
/proc. The tool decodes in a child process, so the peak that matters is that
of both together, which no single process's maximum shows. Each process
counts its proportional share (Pss) of the pages it shares with the other
(the libraries, and the memory of the run at the moment it forked), so that
no page counts twice.

The sampler keeps still for the first 50 ms: a run counts the processors
that other processes keep busy as it starts, and a sampler running at that
moment would count as one and leave the run fewer decoders than it has
without the sampler. No run's peak comes that early.

    python3 bench/peak_memory.py COMMAND [ARGUMENT...]
"""
import os
import subprocess
import sys
import time


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as status:
            for line in status:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def children(pid):
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as listing:
                found += [int(child) for child in listing.read().split()]
    except OSError:
        pass
    return found


def tree(pid):
    pids, queue = [], [pid]
    while queue:
        current = queue.pop()
        pids.append(current)
        queue += children(current)
    return pids


def main():
    process = subprocess.Popen(sys.argv[1:])
    peak = 0
    time.sleep(0.05)
    while process.poll() is None:
        peak = max(peak, sum(resident_kib(pid) for pid in tree(process.pid)))
        time.sleep(0.002)
    print(peak)
    return process.returncode


if __name__ == "__main__":
    sys.exit(main())
