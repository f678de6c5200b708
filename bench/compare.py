"""Set two benchmark runs side by side.

    compare.py [BEFORE [AFTER]]        AFTER: results/latest.json; BEFORE: the saved
                                       baseline results/baseline-before.json when
                                       there is one, else results/previous.json
    compare.py --merge OUT RUN RUN...  one file from several runs of the same code

Rows are matched by key; only the rows of AFTER are shown (a run of a few
benchmarks is compared on its own rows).  The change is marked "better" or "worse" by the
direction of the row's goal, and only when it exceeds NOISE (figures taken
on a shared machine move by 10% and more from run to run) and, against
a merged file, lies outside the range of its runs.  A merged file
gives each row the mean of the runs and keeps every run's figure.
"""

from __future__ import annotations

import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import higher_is_better, meets  # noqa: E402

RESULTS = HERE / "results"
NOISE = 0.10


def load(path: pathlib.Path) -> dict:
    return json.loads(path.read_text())


def _status(value: float, row: dict) -> str:
    if not row.get("goal"):
        return ""
    if meets(value, row["goal"]):
        return "pass"
    if row.get("holds") and meets(value, row["holds"]):
        return "holds"
    return "FAIL"


def _fmt(row: dict | None) -> str:
    if row is None:
        return "-"
    runs = row.get("runs")
    if runs and len(runs) > 1:
        return f"{min(runs):.2f}-{max(runs):.2f}"
    return f"{row['value']:.2f}"


def table(before: dict, after: dict) -> list[str]:
    lines = [f"{'row':<40} {'goal':<17} {'before':>11} {'after':>11} {'change':>8}  verdict"]
    for key in after["rows"]:
        old, new = before["rows"].get(key), after["rows"].get(key)
        row = new or old
        goal = row.get("goal", "") + (f" ({row['holds']})" if row.get("holds") else "")
        change = verdict = ""
        if old and new and old["value"]:
            delta = new["value"] / old["value"] - 1
            change = f"{delta:+.0%}"
            direction = higher_is_better(row.get("goal", ""))
            runs = old.get("runs") or [old["value"]]
            within = min(runs) <= new["value"] <= max(runs)
            if direction is not None and abs(delta) > NOISE and not within:
                verdict = "better" if (delta > 0) == direction else "worse"
        status = _status(new["value"], new) if new else ""
        lines.append(
            f"{key:<40} {goal:<17} {_fmt(old):>11} {_fmt(new):>11} {change:>8}  "
            f"{verdict:<6} {status}".rstrip()
        )
    return lines


def merge(out: pathlib.Path, paths: list[pathlib.Path]) -> None:
    runs = [load(p) for p in paths]
    merged = {"meta": dict(runs[-1]["meta"], merged_from=[r["meta"] for r in runs]), "rows": {}}
    for key, row in runs[-1]["rows"].items():
        values = [r["rows"][key]["value"] for r in runs if key in r["rows"]]
        entry = dict(row, value=sum(values) / len(values), runs=values)
        entry["status"] = _status(entry["value"], entry)
        merged["rows"][key] = entry
    out.write_text(json.dumps(merged, indent=1) + "\n")
    print(f"wrote {out}: {len(merged['rows'])} rows from {len(runs)} runs")


def main(argv: list[str]) -> None:
    if argv[:1] == ["--merge"]:
        if len(argv) < 4:
            sys.exit("usage: compare.py --merge OUT RUN RUN...")
        merge(pathlib.Path(argv[1]), [pathlib.Path(p) for p in argv[2:]])
        return
    baseline = RESULTS / "baseline-before.json"
    before = (
        pathlib.Path(argv[0])
        if argv
        else baseline
        if baseline.exists()
        else RESULTS / "previous.json"
    )
    after = pathlib.Path(argv[1]) if len(argv) > 1 else RESULTS / "latest.json"
    for path in (before, after):
        if not path.exists():
            sys.exit(f"no saved run at {path}: run `make bench` first")
    old, new = load(before), load(after)
    for name, data, path in (("before", old, before), ("after", new, after)):
        meta = data["meta"]
        print(
            f"{name:<7} {path.name}  {meta.get('date', '?')}  {meta.get('commit', '?')}  "
            f"Python {meta.get('python', '?')}, Tcl {meta.get('tcl', '?')}"
            f"{'  (quick)' if meta.get('quick') else ''}"
        )
    print()
    print("\n".join(table(old, new)))
    missing = [key for key in old["rows"] if key not in new["rows"]]
    if missing:
        print(f"({len(missing)} rows of the earlier run not run this time)")


if __name__ == "__main__":
    main(sys.argv[1:])
