"""Resident memory per graph node and time per operator call.

Builds a one-lane chain `x = x + 1` from Python. Each step makes two nodes,
the Constant 1 and the Add, and drops the previous Python wrapper, so only
the final Expression is held when memory is measured. The node count is
taken from the id counter (last id - first id + 1), i.e. every node made,
Constants included; the figure per Add (per step) is printed as well.

Run by hand:  python bench/memory_per_node.py [steps]
"""
import gc
import os
import sys
import time

import _varnel as vn

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 500_000
    warm = vn.Parameter(0.0)  # let the allocator and the module settle first
    for _ in range(1000):
        warm = warm + 1
    del warm
    gc.collect()

    before = rss_bytes()
    p = vn.Parameter(0.0)
    first_id = p.id
    x = p
    start = time.perf_counter()
    for _ in range(steps):
        x = x + 1
    build = time.perf_counter() - start
    del p  # the chain keeps the Parameter alive through its inputs
    gc.collect()
    after = rss_bytes()

    nodes = x.id - first_id + 1
    grown = after - before
    print(f"steps (x = x + 1 calls):  {steps}")
    print(f"nodes made:               {nodes}  (1 Parameter + {steps} Constants + {steps} Adds)")
    print(f"RSS growth:               {grown / 2**20:.1f} MiB")
    print(f"RSS per node made:        {grown / nodes:.1f} bytes  (divided by {nodes})")
    print(f"RSS per step (Add+Const): {grown / steps:.1f} bytes  (divided by {steps})")
    print(f"time per operator call:   {build / steps * 1e9:.0f} ns  (x + 1, Constant coercion included)")

    start = time.perf_counter()
    value = x.eval()
    ev = time.perf_counter() - start
    start = time.perf_counter()
    x.backward()
    bw = time.perf_counter() - start
    assert value == (float(steps),), value
    print(f"eval per node:            {ev / nodes * 1e9:.0f} ns")
    print(f"backward per node:        {bw / nodes * 1e9:.0f} ns")


if __name__ == "__main__":
    main()
