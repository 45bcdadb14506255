# SPDX-License-Identifier: MIT
"""What startup.py prints once every program is measured: the tables of medians, the verdicts against
the targets, and the Windows programs' sizes next to what a Qt deployment would carry."""

import math
import os
import statistics

STARTUP_TARGET = 1.05
MEMORY_TARGET = 1.10
# The resident set is read this long after the window was mapped.
RSS_DELAY_S = 1.0
PEERS = ("cutecom", "gtkterm")


def mib(size):
    return f"{size / 2**20:.1f} MiB"


def report_sizes(programs, qt_files):
    """The .exe files, next to the Qt libraries and plug-ins the Linux program maps."""
    print("\nSize on disk:")
    for name, argv in programs.items():
        print(f"  {name:<16} {os.path.getsize(argv[0]):>10,} bytes  ({os.path.basename(argv[0])}, self-contained)")
    if qt_files is None:
        return
    qt = sorted(f for f in qt_files if "/libQt6" in f or "/qt6/plugins/" in f)
    icu = sorted(f for f in qt_files if os.path.basename(f).startswith("libicu"))
    print(f"  What a Qt deployment of the window would carry, as far as it can be measured here (no Qt for\n"
          f"  Windows is installed): the Qt 6 libraries and plug-ins the Linux program has mapped once its\n"
          f"  window is up, {len(qt)} files, {mib(sum(map(os.path.getsize, qt)))} (Linux x86-64 builds):")
    for path in qt:
        print(f"    {os.path.getsize(path):>12,}  {path}")
    if icu:
        print(f"  and the ICU libraries Qt Core loads with them, {mib(sum(map(os.path.getsize, icu)))}; a Windows\n"
              "  deployment would add its compiler's run-time DLLs and Qt's translations.")


def print_table(title, results, figure, columns, extra=None):
    """One figure of every program: median, min, max, and the median's ratio to each column's.
    Returns the medians and the minima; a program without the figure (NaN) has neither."""
    values = {name: [v for v in (figure(run) for run in runs) if not math.isnan(v)]
              for name, runs in results.items()}
    medians = {name: statistics.median(v) for name, v in values.items() if v}
    minima = {name: min(v) for name, v in values.items() if v}
    print(f"\n{title}")
    print(f"{'program':<16} {'median':>8} {'min':>8} {'max':>8}  "
          + " ".join(f"{'x' + c:>9}" for c in columns)
          + (f"  {extra[0]}" if extra else ""))
    for name, v in values.items():
        if not v:
            print(f"{name:<16} {'-':>8}")
            continue
        ratios = " ".join(f"{medians[name] / medians[c]:8.2f}x" if c in medians else f"{'-':>9}"
                          for c in columns)
        print(f"{name:<16} {medians[name]:8.1f} {min(v):8.1f} {max(v):8.1f}  {ratios}"
              + (f"  {extra[1](results[name])}" if extra else ""))
    return medians, minima


def verdict(label, figures, unit, target=None):
    (medians, minima) = figures
    ratio = medians["qm47t-converter"] / medians["floor"]
    low = minima["qm47t-converter"] / minima["floor"]
    outcome = "    " if target is None else ("PASS" if ratio <= target else "MISS")  # no target: figures only
    print(f"{outcome}  {label}: median {medians['qm47t-converter']:.1f} {unit} = {ratio:.2f}x the floor's "
          f"{medians['floor']:.1f} {unit}; minimum {minima['qm47t-converter']:.1f} {unit} = {low:.2f}x "
          f"the floor's {minima['floor']:.1f} {unit}"
          + (" (not a target)" if target is None else f" (target <= {target:.2f}x)"))


def report(results, rounds, startup_target=STARTUP_TARGET, memory_target=MEMORY_TARGET):
    columns = ["floor", *(peer for peer in PEERS if peer in results)]
    com1 = ("COM1 open when mapped", lambda runs: "yes" if all(run.holds_com1 for run in runs) else "no")
    startup = print_table(f"Start-up, ms from exec to the window mapped ({rounds} runs each, interleaved):",
                          results, lambda run: run.startup_ms, columns, com1)
    painted = print_table("Painted, ms from exec to the window fully drawn for the first time:",
                          results, lambda run: run.painted_ms, columns)
    print_table("CPU time spent by the map, ms (threads still running then; less swayed by other load):",
                results, lambda run: run.cpu_ms, columns)
    rss = print_table(f"Resident set {RSS_DELAY_S:g} s after the window was mapped, MiB:", results,
                      lambda run: run.rss_kib / 1024, columns)
    setup = statistics.median(run.setup_ms for runs in results.values() for run in runs)
    print(f"\n(namespace set-up before each exec, not counted above: median {setup:.1f} ms, "
          "the same for all)\n")
    verdict("start-up", startup, "ms", startup_target)
    verdict("painted ", painted, "ms")
    verdict("memory  ", rss, "MiB", memory_target)
