#!/usr/bin/env python3
"""Start-up of the tool, one process per call as a database's archive command makes them:
`kxmp --help` against /bin/true, and `kxmp backup` of one 64 KiB file with a fresh cache against
/bin/true plus the durable C loop (bench/durable_loop.c) storing the same file; each round
stores a new file.
Beside them, the same loop after loading the library's shared dependencies (the C++ runtime,
SQLite, XML, regex) and reading the catalog once (bench/durable_loop_with_libraries.cpp): the
part of a backup's time that is the dependencies', not kxmp's. All commands run in turns in the
same rounds; reported are min and median wall times and the goals' margins.

Usage: bench/startup.py [--build build/release] [--runs 200]
Build first: cmake --preset release && cmake --build build/release
"""

import os
import shutil
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchhome  # noqa: E402


def main():
    args, kxmp, loop = benchhome.arguments(__doc__, runs=200)
    true = shutil.which("true") or "/bin/true"

    home = benchhome.BenchHome(kxmp)
    try:
        # Every backup stores a new file, as an archive command does: a name already stored
        # with the same content would only be compared, not written.
        sources = home.source_files(args.runs + 1, 65536)
        target = home.folder("loop")
        with_libraries = os.path.join(os.path.dirname(loop), "durable_loop_with_libraries")
        commands = {
            "true": [true],
            "help": [kxmp, "--help"],
            "loop": [loop, target, sources[0]],
            "libs": [with_libraries, os.path.join(home.path, "catalog.db"), "ma1", target, sources[0]],
            "backup": [kxmp, "backup", "--subclient", "42", sources[0]],
        }
        # The first backup makes the root folder and the registry keys; later runs find them.
        # A refresh then makes the cache fresh, as on a machine whose host refreshes it: a
        # backup with a fresh cache needs no catalog.
        benchhome.run(commands["backup"], home.env)
        benchhome.run([kxmp, "cache", "refresh", "--subclient", "42", "--local"], home.env)
        times = {k: [] for k in commands}
        cpu = {k: [] for k in commands}
        for i in range(args.runs):
            for name in ("loop", "libs", "backup"):
                commands[name][-1] = sources[i + 1]
            for name, argv in commands.items():
                wall, used = benchhome.run(argv, home.env)
                times[name].append(wall * 1000)
                cpu[name].append(used * 1000)

        def row(name, label):
            v, c = times[name], cpu[name]
            print("%-31s min %7.2f ms  median %7.2f ms   CPU min %6.2f  median %6.2f ms" %
                  (label, min(v), statistics.median(v), min(c), statistics.median(c)))

        print("%d runs of each, in turns" % args.runs)
        row("true", "/bin/true")
        row("help", "kxmp --help")
        row("loop", "durable_loop, one 64 KiB file")
        row("libs", "the loop after the libraries")
        row("backup", "kxmp backup, one 64 KiB file")
        med = {k: statistics.median(v) for k, v in times.items()}
        mn = {k: min(v) for k, v in times.items()}
        print("kxmp --help - true              : min %.2f ms  median %.2f ms" %
              (mn["help"] - mn["true"], med["help"] - med["true"]))
        print("  the same in CPU time          : min %.2f ms  median %.2f ms" %
              (min(cpu["help"]) - min(cpu["true"]), statistics.median(cpu["help"]) - statistics.median(cpu["true"])))
        print("backup / (2 x true + loop)      : min %.2f  median %.2f (goal <= 1.5)" %
              (mn["backup"] / (2 * mn["true"] + mn["loop"]), med["backup"] / (2 * med["true"] + med["loop"])))
        print("the same, loop after the libraries: min %.2f  median %.2f (what the dependencies leave)" %
              (mn["libs"] / (2 * mn["true"] + mn["loop"]), med["libs"] / (2 * med["true"] + med["loop"])))
        print("backup - loop after the libraries: min %.2f ms  median %.2f ms (kxmp's own)" %
              (mn["backup"] - mn["libs"], med["backup"] - med["libs"]))
    finally:
        home.close()


if __name__ == "__main__":
    main()
