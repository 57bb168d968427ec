#!/usr/bin/env python3
"""Small log files: `kxmp backup` against the durable C loop (bench/durable_loop.c), side by
side on the same files in the same run. Each round removes both targets, syncs, and runs the
two in alternating order; reported are the time ratio kxmp / loop (min and median of the
rounds) and system calls per file of each (strace -c -f over the whole process, start-up
included).

Usage: bench/small_files.py [--build build/release] [--files 1000] [--size 65536] [--rounds 5]
Build first: cmake --preset release && cmake --build build/release --target kxmp durable_loop
"""

import os
import shutil
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchhome  # noqa: E402


def main():
    args, kxmp, loop = benchhome.arguments(__doc__, files=1000, size=65536, rounds=5)

    home = benchhome.BenchHome(kxmp)
    try:
        files = home.source_files(args.files, args.size)
        target = os.path.join(home.path, "loop")
        kx = [kxmp, "backup", "--subclient", "42"] + files
        lp = [loop, target] + files

        def fresh():
            shutil.rmtree(target, ignore_errors=True)
            shutil.rmtree(home.root, ignore_errors=True)
            os.makedirs(target)
            os.sync()

        ratios, kx_times, lp_times, kx_cpu, lp_cpu = [], [], [], [], []
        for r in range(args.rounds):
            order = [("kx", kx), ("lp", lp)] if r % 2 == 0 else [("lp", lp), ("kx", kx)]
            t, c = {}, {}
            for name, argv in order:
                fresh()
                t[name], c[name] = benchhome.run(argv, home.env)
            kx_times.append(t["kx"])
            lp_times.append(t["lp"])
            kx_cpu.append(c["kx"])
            lp_cpu.append(c["lp"])
            ratios.append(t["kx"] / t["lp"])

        fresh()
        kx_calls = benchhome.syscalls(kx, home.env, os.path.join(home.path, "kx.strace"))
        fresh()
        lp_calls = benchhome.syscalls(lp, home.env, os.path.join(home.path, "lp.strace"))

        n = args.files
        print("%d files of %d bytes, %d rounds" % (n, args.size, args.rounds))
        print("durable C loop : %s s  (CPU %s s)" % (benchhome.describe(lp_times), benchhome.describe(lp_cpu)))
        print("kxmp backup    : %s s  (CPU %s s)" % (benchhome.describe(kx_times), benchhome.describe(kx_cpu)))
        print("time ratio kxmp / loop: min %.2f  median %.2f" % (min(ratios), statistics.median(ratios)))
        print("system calls per file: kxmp %.1f  loop %.1f  (whole process, start-up included)" %
              (kx_calls / n, lp_calls / n))
    finally:
        home.close()


if __name__ == "__main__":
    main()
