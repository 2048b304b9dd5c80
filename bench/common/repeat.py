"""The repeat check for any benchmark that prints its figures as lines

    figure: NAME = VALUE

(NAME free text without "=", VALUE a positive number): the benchmark runs twice, its output
passed on, and the figures of the two runs are compared pair by pair (interleave.compare_runs:
larger / smaller within 10%). Exit status: the benchmark's own when it failed, else 0 when every
figure agreed, else 3 (interleave.NOT_REPEATED) after "NO STABLE ANSWER".

    repeat.py [--tolerance 0.10] -- COMMAND [ARG...]

A benchmark's --check-repeat runs itself through run_twice() without that option. Figures to show
but not judge are printed as "figure (shown): NAME = VALUE".

Standard library only.
"""
import argparse
import re
import subprocess
import sys

from interleave import NOT_REPEATED, TOLERANCE, compare_runs, repeat_report

FIGURE = re.compile(r"^figure( \(shown\))?: (.+?) = ([-+0-9.eE]+)\s*$")


def figures_in(text):
    """({judged name: value}, {shown name: value}) from a benchmark's output."""
    judged, shown = {}, {}
    for line in text.splitlines():
        found = FIGURE.match(line.strip())
        if found:
            try:
                value = float(found.group(3))
            except ValueError:
                continue
            (shown if found.group(1) else judged)[found.group(2).strip()] = value
    return judged, shown


def figure_line(name, value, judged=True):
    """The line a benchmark prints for one figure."""
    return f"figure{'' if judged else ' (shown)'}: {name} = {value:.6g}"


def run_twice(argv, tolerance=TOLERANCE, out=sys.stdout):
    """Runs `argv` twice, passing its output on; prints the comparison; the exit status."""
    runs = []
    for number in (1, 2):
        print(f"\n## Run {number}\n", file=out, flush=True)
        done = subprocess.run(argv, stdout=subprocess.PIPE, text=True)
        out.write(done.stdout)
        out.flush()
        if done.returncode != 0:
            print(f"\nrun {number} failed (exit status {done.returncode}); no repeat check",
                  file=out)
            return done.returncode
        runs.append(figures_in(done.stdout))
    (first, first_shown), (second, second_shown) = runs
    rows, agreed = compare_runs(first, second, tolerance)
    print("\n## Repeat\n", file=out)
    if not rows:
        print("The benchmark printed no figures to compare: NO STABLE ANSWER.", file=out)
        return NOT_REPEATED
    for line in repeat_report(rows, agreed, tolerance, what="figure"):
        print(line, file=out)
    rows, _ = compare_runs(first_shown, second_shown, tolerance)
    if rows:
        print("\nShown, not judged:\n", file=out)
        for line in repeat_report(rows, True, tolerance, what="figure", judged=False):
            print(line, file=out)
    return 0 if agreed else NOT_REPEATED


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tolerance", type=float, default=TOLERANCE)
    parser.add_argument("command", nargs=argparse.REMAINDER)
    a = parser.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    if not command:
        parser.error("no command")
    return run_twice(command, a.tolerance)


if __name__ == "__main__":
    sys.exit(main())
