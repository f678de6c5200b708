"""Side-by-side timing for the benchmarks.

Every figure printed is measured in the same run as the figures it is
compared with: the candidates of one comparison are timed in turn, round
after round, and each keeps its best round.  Ratios, not absolute times,
are what the goals are stated in.
"""

from __future__ import annotations

import gc
import time
from collections.abc import Callable


def _time_per_call(fn: Callable[[], object], number: int) -> float:
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for _ in range(number):
            fn()
        return (time.perf_counter_ns() - start) / number
    finally:
        gc.enable()


def _calibrate(fn: Callable[[], object], target_ns: float = 50e6) -> int:
    number = 1
    while True:
        elapsed = _time_per_call(fn, number) * number
        if elapsed >= target_ns / 10 or number >= 1 << 24:
            return max(1, int(number * target_ns / max(elapsed, 1) / 10))
        number *= 10


def compare(
    title: str,
    candidates: dict[str, Callable[[], object]],
    *,
    rounds: int = 7,
    number: int | None = None,
) -> dict[str, float]:
    """Time each candidate (ns per call, best of `rounds`), interleaved, and
    print them with their ratio to the first one.  Returns the times."""
    numbers = {name: number or _calibrate(fn) for name, fn in candidates.items()}
    best = {name: float("inf") for name in candidates}
    for _ in range(rounds):
        for name, fn in candidates.items():
            best[name] = min(best[name], _time_per_call(fn, numbers[name]))
    first = next(iter(best.values()))
    print(f"\n{title}")
    for name, ns in best.items():
        print(f"  {name:<44} {format_time(ns):>12}   {ns / first:7.2f}x")
    return best


def format_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


def report(label: str, value: float, goal: str = "") -> None:
    """Print one derived figure (a ratio, a rate) with the goal it serves."""
    print(f"  -> {label}: {value:.2f}" + (f"   (goal: {goal})" if goal else ""))
