"""Side-by-side timing for the benchmarks, and the rows they report.

Every figure printed is measured in the same run as the figures it is
compared with: the candidates of one comparison are timed in turn, round
after round (A, B, A, B, ...), and each keeps its best round, so a busy
machine costs a few rounds rather than the ratio.  Times are the process's
CPU time, not wall time: on a machine shared with builds, time spent
waiting for a core would otherwise land on whichever candidate was running.
Ratios, not absolute times, are what the goals are stated in.

A benchmark states each figure it is held to with `row()`: a stable key, the
value, and the goal ("<= 2", ">= 30").  `run.py` collects the rows of a run
and writes them as JSON; `compare.py` sets two such files side by side.
"""

from __future__ import annotations

import gc
import os
import re
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field

# Quick mode: fewer and shorter rounds, for a first look.  The figures are
# noisier; the workloads and sizes stay the same.
QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")


def rounds(full: int) -> int:
    """The number of rounds to take, `full` unless in quick mode."""
    return max(2, full // 3) if QUICK else full


clock = time.process_time_ns


def _time_per_call(fn: Callable[[], object], number: int) -> float:
    gc.disable()
    try:
        start = clock()
        for _ in range(number):
            fn()
        return (clock() - start) / number
    finally:
        gc.enable()


def _calibrate(fn: Callable[[], object], target_ns: float) -> int:
    """How many calls make one round of about `target_ns`."""
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
    rounds: int = 11,
    number: int | None = None,
    target_ms: float = 20,
) -> dict[str, float]:
    """Time each candidate (ns per call, best of `rounds`), interleaved, and
    print them with their ratio to the first one.  Returns the times."""
    if QUICK:
        rounds, target_ms = max(2, rounds // 3), target_ms / 2
    numbers = {name: number or _calibrate(fn, target_ms * 1e6) for name, fn in candidates.items()}
    best = {name: float("inf") for name in candidates}
    for _ in range(rounds):
        for name, fn in candidates.items():
            best[name] = min(best[name], _time_per_call(fn, numbers[name]))
    first = next(iter(best.values()))
    print(f"\n{title}")
    for name, ns in best.items():
        print(f"  {name:<52} {format_time(ns):>12}   {ns / first:7.2f}x")
    return best


def best_time(fn: Callable[[], object], repeat: int = 7) -> float:
    """Best time (seconds) of `repeat` single calls, for long calls."""
    return min(_time_per_call(fn, 1) for _ in range(rounds(repeat))) / 1e9


def own_cost_ratio(bare: float, ours: float, other: float) -> float:
    """How many times more than ours another rendering adds to the bare call.

    Our own cost (ours - bare) is counted as at least 5% of the bare call's
    time: below that it is lost in the noise of a shared machine, and the
    ratio would swing from run to run by orders of magnitude."""
    return (other - bare) / max(ours - bare, 0.05 * bare, 1.0)


def format_time(ns: float) -> str:
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} us"
    return f"{ns:.0f} ns"


# --- rows --------------------------------------------------------------------

_GOAL = re.compile(r"\s*(<=|>=)\s*([0-9.]+)")


def meets(value: float, goal: str) -> bool:
    """Whether `value` meets a goal written "<= N" or ">= N"."""
    match = _GOAL.match(goal)
    if not match:
        raise ValueError(f"goal must read '<= N' or '>= N', not {goal!r}")
    op, bound = match.group(1), float(match.group(2))
    return value <= bound if op == "<=" else value >= bound


def higher_is_better(goal: str) -> bool | None:
    match = _GOAL.match(goal or "")
    return None if not match else match.group(1) == ">="


@dataclass
class Row:
    key: str  # stable across runs: what compare.py matches rows by
    label: str
    value: float
    unit: str = "x"
    goal: str = ""  # the goal now set, "" for a figure shown for context
    holds: str = ""  # an earlier goal that must keep holding meanwhile
    times: dict[str, float] = field(default_factory=dict)  # ns per call

    @property
    def status(self) -> str:
        if not self.goal:
            return ""
        if meets(self.value, self.goal):
            return "pass"
        if self.holds and meets(self.value, self.holds):
            return "holds"  # short of the new goal, within the earlier one
        return "FAIL"

    def as_json(self) -> dict:
        data = asdict(self)
        data["status"] = self.status
        del data["key"]
        return data


ROWS: list[Row] = []


def row(
    key: str,
    label: str,
    value: float,
    goal: str = "",
    *,
    unit: str = "x",
    holds: str = "",
    times: dict[str, float] | None = None,
) -> Row:
    """Record one figure a goal is stated in, and print it with the goal."""
    entry = Row(key, label, value, unit, goal, holds, dict(times or {}))
    ROWS.append(entry)
    text = f"  -> {label}: {value:.2f}{'' if unit == 'x' else ' ' + unit}"
    if goal:
        text += f"   (goal {goal}{'; must hold ' + holds if holds else ''}: {entry.status})"
    print(text)
    return entry


def against_bare(
    key: str,
    title: str,
    candidates: dict[str, Callable[[], object]],
    *,
    label: str,
    goal: str,
    holds: str = "",
    own_label: str,
    own_goal: str,
    rounds: int = 11,
) -> dict[str, float]:
    """Time the bare call, ours and a plain-Python rendering (the candidates,
    in that order) and record two rows: ours over the bare call
    (`key`/bare) and the plain rendering's own cost over ours
    (`key`.own_cost/python)."""
    times = compare(title, candidates, rounds=rounds)
    bare, ours, python = times.values()
    row(f"{key}/bare", label, ours / bare, goal, holds=holds, times=times)
    row(f"{key}.own_cost/python", own_label, own_cost_ratio(bare, ours, python), own_goal)
    return times


def report(label: str, value: float, goal: str = "") -> None:
    """Print a derived figure that is not kept as a row."""
    print(f"  -> {label}: {value:.2f}" + (f"   (goal: {goal})" if goal else ""))
