"""Run every benchmark under bench/ (files named bench_*.py, each with a
main() function), or only those named on the command line."""

from __future__ import annotations

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(argv: list[str]) -> None:
    sys.path.insert(0, str(HERE))
    names = argv or sorted(p.stem for p in HERE.glob("bench_*.py"))
    if not names:
        print("no benchmarks yet")
    for name in names:
        module = importlib.import_module(name if name.startswith("bench_") else f"bench_{name}")
        print(f"=== {module.__name__}: {(module.__doc__ or '').strip().splitlines()[0]}")
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])
