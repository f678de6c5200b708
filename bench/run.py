"""Run every benchmark under bench/ (files named bench_*.py, each with a
main() function), or only those named on the command line.

    run.py [--quick] [--json PATH] [NAME ...]

Each benchmark runs in a process of its own, so that its figures do not
depend on what ran before it (the heap a long benchmark leaves behind
changes what allocation costs the next one): a run of one benchmark and a
full run give the same figures for its rows.

A run ends with a summary of its rows and writes them to
bench/results/latest.json (or PATH), keeping the run before as
previous.json; `compare.py` sets such files side by side.  A run of named
benchmarks writes only their rows.  --quick (or BENCH_QUICK=1) takes fewer,
shorter rounds.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"
LATEST = RESULTS / "latest.json"
PREVIOUS = RESULTS / "previous.json"


def _commit() -> str:
    try:
        out = subprocess.run(
            ["git", "-C", str(HERE), "describe", "--always", "--dirty"],
            capture_output=True,
            text=True,
            check=True,
        )
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


def _meta(names: list[str], quick: bool, seconds: float) -> dict:
    import tkinter

    return {
        "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
        "commit": _commit(),
        "python": platform.python_version(),
        "tcl": tkinter.Tcl().call("info", "patchlevel"),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "quick": quick,
        "benchmarks": names,
        "seconds": round(seconds, 1),
    }


def summary(rows) -> None:
    print("\n=== summary: every row with a goal")
    print(f"  {'row':<40} {'value':>10}  {'goal':<17} {'status'}")
    for entry in rows:
        if entry.goal:
            goal = entry.goal + (f" ({entry.holds})" if entry.holds else "")
            print(
                f"  {entry.key:<40} {entry.value:>9.2f}{entry.unit[:1] if entry.unit == 'x' else ' '}"
                f"  {goal:<17} {entry.status}"
            )
    counted = [e.status for e in rows if e.goal]
    print(
        f"  {counted.count('pass')} pass, {counted.count('holds')} within the earlier goal only, "
        f"{counted.count('FAIL')} fail, of {len(counted)}"
    )


def write(path: pathlib.Path, meta: dict, rows) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    data = {"meta": meta, "rows": {entry.key: entry.as_json() for entry in rows}}
    path.write_text(json.dumps(data, indent=1) + "\n")


def child(name: str, out: pathlib.Path) -> None:
    """Run one benchmark in this process and write its rows to `out`."""
    import harness

    module = importlib.import_module(name)
    print(f"\n=== {module.__name__}: {(module.__doc__ or '').strip().splitlines()[0]}", flush=True)
    module.main()
    out.write_text(json.dumps([vars(entry) for entry in harness.ROWS]))


def run_apart(name: str) -> list:
    """Run one benchmark in a fresh process; its rows."""
    import harness

    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "rows.json"
        sys.stdout.flush()
        code = subprocess.call([sys.executable, __file__, "--child", name, "--json", str(out)])
        if code != 0:
            sys.exit(f"{name} failed (exit status {code})")
        return [harness.Row(**data) for data in json.loads(out.read_text())]


def main(argv: list[str]) -> None:
    parser = argparse.ArgumentParser(description="run the benchmarks under bench/")
    parser.add_argument("names", nargs="*", help="benchmarks to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds")
    parser.add_argument("--json", type=pathlib.Path, help="write the rows to this file")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick:
        os.environ["BENCH_QUICK"] = "1"

    sys.path.insert(0, str(HERE))
    import harness  # after BENCH_QUICK is settled

    if args.child:
        child(args.names[0], args.json)
        return

    everything = sorted(p.stem for p in HERE.glob("bench_*.py"))
    names = [n if n.startswith("bench_") else f"bench_{n}" for n in args.names] or everything
    start = time.perf_counter()
    rows = [entry for name in names for entry in run_apart(name)]
    meta = _meta(names, harness.QUICK, time.perf_counter() - start)
    summary(rows)

    target = args.json
    if target is None:
        if LATEST.exists():
            LATEST.replace(PREVIOUS)
        target = LATEST
    write(target, meta, rows)
    print(f"\nwrote {len(rows)} rows to {target} ({meta['seconds']:.0f} s)")


if __name__ == "__main__":
    main(sys.argv[1:])
