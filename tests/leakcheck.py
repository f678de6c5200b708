"""Reference-leak check: run an operation many times and fail when the
number of live allocations keeps growing.

A leaked reference keeps its object (and usually more) alive, so a leak of
even one object per call grows the allocation count by at least the number
of calls.  The count is taken with sys.getallocatedblocks() (Python's own
allocator), or with tracemalloc when Python runs on plain malloc (as in the
sanitizer run, where getallocatedblocks() reports nothing).
"""

from __future__ import annotations

import gc
import sys
import tracemalloc
from collections.abc import Callable


def _measure() -> int:
    gc.collect()
    if tracemalloc.is_tracing():
        return tracemalloc.get_traced_memory()[0] // 16
    return sys.getallocatedblocks()


def assert_no_leak(
    operation: Callable[[], object], *, iterations: int = 2000, rounds: int = 5
) -> None:
    """Fail if `operation` leaks.

    The operation runs `rounds` times `iterations` times; after the first
    round (which fills caches, interns names and so on) the allocation count
    must not grow by anything near one block per call.
    """
    use_tracemalloc = sys.getallocatedblocks() == 0
    if use_tracemalloc:
        tracemalloc.start()
    try:
        for _ in range(iterations):
            operation()
        counts = []
        for _ in range(rounds):
            for _ in range(iterations):
                operation()
            counts.append(_measure())
    finally:
        if use_tracemalloc:
            tracemalloc.stop()
    growth = counts[-1] - counts[0]
    calls = iterations * (rounds - 1)
    assert growth < calls / 4, (
        f"allocations grew by {growth} over {calls} calls (rounds: {counts}): a reference leak"
    )
