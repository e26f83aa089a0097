"""How many threads a call over rows may start by itself (``threads=None``).

A process that is one of several sharing the machine (a Dask worker, a
joblib worker, a batch job given a few cores) would oversubscribe the cores
if each of its calls took every core of the machine. The schedulers that
start such processes say how many threads each should use through
``OMP_NUM_THREADS`` (Dask's worker processes get 1), and a process may be
confined to fewer CPUs than the machine has; the default follows both.
"""

import os

__all__ = ["default_threads"]

_OWN = "VARNEL_NUM_THREADS"
_SHARED = "OMP_NUM_THREADS"


def _cpus() -> int:
    """The CPUs this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1


def default_threads() -> int:
    """The most threads ``map``, ``map_vjp`` and ``map_jacobian`` start when
    called with ``threads=None``; they take no more than the call has blocks
    of rows, and one where the work is too small to gain from more.

    ``VARNEL_NUM_THREADS`` when it is set (a whole number of at least 1;
    anything else raises ValueError "VARNEL_NUM_THREADS must be a whole
    number of at least 1, got 'x'"), else ``OMP_NUM_THREADS`` when it holds
    one (its first entry, as OpenMP reads it; other values are ignored), else
    the CPUs this process may run on. Read at every call, so a change to
    ``os.environ`` counts at once.
    """
    own = os.environ.get(_OWN)
    if own is not None:
        text = own.strip()
        if not (text.isascii() and text.isdigit() and int(text) >= 1):
            raise ValueError(f"{_OWN} must be a whole number of at least 1, got {own!r}")
        return int(text)
    shared = os.environ.get(_SHARED, "").split(",")[0].strip()
    if shared.isascii() and shared.isdigit() and int(shared) >= 1:
        return int(shared)
    return _cpus()
