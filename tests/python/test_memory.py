"""Graphs that are built and dropped give their memory back for reuse:
resident memory after later rounds stays within 5% of the first round's."""
import os
import subprocess
import sys
import textwrap

import pytest

ROUNDS = textwrap.dedent("""
    import os
    import _varnel as vn

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def round_trip():
        x = vn.Parameter(0.5)
        y = x
        for _ in range(250_000):  # four nodes a step
            y = vn.sin(y) * 0.5 + x
        y.eval()
        y.backward()
        y.zero_grad()

    levels = []
    for _ in range(4):
        round_trip()
        levels.append(rss())
    print(" ".join(map(str, levels)))
""")


# AddressSanitizer holds freed memory in quarantine instead of reusing it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="freed memory is quarantined under AddressSanitizer")
def test_dropped_graphs_leave_resident_memory_flat():
    result = subprocess.run([sys.executable, "-c", ROUNDS], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    first, *later = map(int, result.stdout.split())
    # A million nodes take hundreds of megabytes, so a leak of even a few
    # bytes per node shows up well beyond the 5% allowed for the allocator.
    assert all(abs(level - first) <= 0.05 * first for level in later), (first, later)
