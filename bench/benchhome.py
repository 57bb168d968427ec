"""A throw-away KX_HOME for the benchmark scripts, made by `kxmp setup`: the catalog lists one
mount path of storage host ma1 for subclient 42, so `kxmp backup --subclient 42` writes below
<home>/mp1/KX_APP_DUMPS/bs-bench."""

import argparse
import os
import statistics
import subprocess
import tempfile
import time

class BenchHome:
    def __init__(self, kxmp):
        self.tmp = tempfile.TemporaryDirectory(prefix="kxmp-bench-", dir=os.environ.get("TMPDIR", "/tmp"))
        self.path = self.tmp.name
        self.mount_path = os.path.join(self.path, "mp1")
        self.root = os.path.join(self.mount_path, "KX_APP_DUMPS", "bs-bench")
        self.env = dict(os.environ, KX_HOME=self.path)
        os.makedirs(self.mount_path)
        for argv in (["setup"], ["catalog", "add-subclient", "--id", "42", "--guid", "guid-bench", "--backupset-guid", "bs-bench"],
                     ["catalog", "add-mount-path", "--id", "1", "--host", "ma1", "--path", self.mount_path, "--library", "lib"],
                     ["catalog", "attach", "--subclient", "42", "--mount-path", "1", "--primary"]):
            subprocess.run([kxmp] + argv, env=self.env, check=True, stdout=subprocess.DEVNULL)

    def folder(self, name):
        p = os.path.join(self.path, name)
        os.makedirs(p, exist_ok=True)
        return p

    def source_files(self, count, size, name="src"):
        folder = self.folder(name)
        files = []
        for i in range(count):
            p = os.path.join(folder, "log_%05d.trn" % i)
            with open(p, "wb") as f:
                f.write(os.urandom(size))
            files.append(p)
        os.sync()
        return files

    def close(self):
        self.tmp.cleanup()


def arguments(doc, **extra):
    """Parses the common options (--build) and the script's own (name=default); returns the
    options and the paths of kxmp and durable_loop in the build, which must exist."""
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(top, "build", "release"))
    for name, default in extra.items():
        ap.add_argument("--" + name, type=type(default), default=default)
    args = ap.parse_args()
    kxmp = os.path.join(args.build, "tools", "kxmp", "kxmp")
    loop = os.path.join(args.build, "bench", "durable_loop")
    for b in (kxmp, loop):
        if not os.access(b, os.X_OK):
            raise SystemExit("missing %s (build the release preset first)" % b)
    return args, kxmp, loop


def run(argv, env):
    """Runs a command to its end: (wall seconds, CPU seconds of user and system time). The
    CPU time suffers less from other work on a shared machine than the wall time."""
    t0 = time.perf_counter()
    p = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - t0
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise subprocess.CalledProcessError(p.returncode, argv)
    return wall, usage.ru_utime + usage.ru_stime


def syscalls(argv, env, out):
    """Total system calls of a command and its threads (strace -c -f)."""
    subprocess.run(["strace", "-c", "-f", "-o", out] + argv, env=env, check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        for line in f:
            parts = line.split()
            if parts and parts[-1] == "total":
                return int(parts[3])
    raise RuntimeError("no total in " + out)


def describe(values):
    return "min %.3f  median %.3f" % (min(values), statistics.median(values))
