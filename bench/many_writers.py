"""Fault counts of two client machines (two homes) writing to one storage host at once; run by
bench/many_writers.sh, which sets up the homes and the storage. Arguments: kxmp, the folder
holding homes A and B, the SFTP root folder as seen on this machine, the local root folder,
and a scale for the number of rounds.

Every section prints "<what>: <count> of <rounds>"; a sound tree prints 0 for every fault."""

import os
import random
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

KXMP, BASE, SFTP_ROOT, LOCAL_ROOT, SCALE = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], float(sys.argv[5])
HOMES = [os.path.join(BASE, "A"), os.path.join(BASE, "B")]
BACKENDS = [("sftp", 7, SFTP_ROOT), ("local", 8, LOCAL_ROOT)]
SRC = os.path.join(BASE, "src")
os.makedirs(SRC, exist_ok=True)
rng = random.Random(20240521)


def rounds(n):
    return max(1, int(n * SCALE))


def source(name, size, folder=SRC):
    os.makedirs(folder, exist_ok=True)
    if isinstance(name, bytes) and isinstance(folder, str):
        folder = folder.encode()
    path = os.path.join(folder, name)
    data = os.urandom(size)
    with open(path, "wb") as f:
        f.write(data)
    return path, data


def start(home, subclient, files, *extra):
    argv = [KXMP, "--home", home, "backup", "--subclient", str(subclient)] + list(extra) + list(files)
    return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run(home, *args):
    return subprocess.run([KXMP, "--home", home] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def stored(root, name):
    try:
        with open(os.path.join(root, name), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def leftovers(root, prefix):
    try:
        return [n for n in os.listdir(root) if n.startswith(prefix) and n.endswith(".tmp")]
    except FileNotFoundError:
        return []


def record_names(root, stream):
    """The file names a stream's document lists (a name starting with "/" is percent-encoded),
    or None when the document does not parse."""
    path = os.path.join(root, "StreamMetadata_%d.xml" % stream)
    try:
        tree = ET.parse(path)
    except FileNotFoundError:
        return []
    except ET.ParseError:
        return None
    names = []
    for e in tree.iter():
        n = e.get("fileName")
        if n is None:
            continue
        if n.startswith("/"):
            from urllib.parse import unquote_to_bytes
            names.append(unquote_to_bytes(n[1:]))
        else:
            names.append(n.encode())
    return names


def commit_races():
    for backend, sc, root in BACKENDS:
        n = rounds(20 if backend == "sftp" else 300)
        size = (4 << 20) if backend == "sftp" else (64 << 10)
        lost = both = torn = left = 0
        for r in range(n):
            name = "z_%s_%d.trn" % (backend, r)
            pa, a = source(name, size, os.path.join(SRC, "a"))
            pb, b = source(name, size, os.path.join(SRC, "b"))
            procs = [start(HOMES[0], sc, [pa]), start(HOMES[1], sc, [pb])]
            rc = [p.wait() for p in procs]
            s = stored(root, name)
            if (rc[0] == 0 and s != a) or (rc[1] == 0 and s != b):
                lost += 1
            if rc[0] == 0 and rc[1] == 0:
                both += 1
            if s is not None and s not in (a, b):
                torn += 1
            if leftovers(root, name):
                left += 1
        print("%-5s one name, two machines at once, %d KiB: success without its data stored %d, both exit 0 "
              "without --force %d, torn %d, leftover .tmp %d (of %d rounds)" % (backend, size >> 10, lost, both, torn,
                                                                              left, n))
        sys.stdout.flush()
        # The same with the second machine killed at a random moment.
        n = rounds(30 if backend == "sftp" else 60)
        bad = torn = 0
        for r in range(n):
            name = "k_%s_%d.trn" % (backend, r)
            pa, a = source(name, size, os.path.join(SRC, "a"))
            pb, b = source(name, size, os.path.join(SRC, "b"))
            procs = [start(HOMES[0], sc, [pa]), start(HOMES[1], sc, [pb])]
            time.sleep(rng.uniform(0, 0.6 if backend == "sftp" else 0.1))
            procs[1].kill()
            rc = [p.wait() for p in procs]
            s = stored(root, name)
            if s is not None and s not in (a, b):
                torn += 1
            if rc[0] == 0 and s != a:
                bad += 1
        print("%-5s second machine killed: torn file under the final name %d, first exit 0 without its data %d "
              "(of %d rounds)" % (backend, torn, bad, n))
        sys.stdout.flush()


def metadata():
    for backend, sc, root in BACKENDS:
        n = rounds(15)
        short = 0
        for r in range(n):
            stream = 100 + r
            fa = [source("ma_%s_%d_%d.trn" % (backend, r, i), 4096)[0] for i in range(3)]
            fb = [source("mb_%s_%d_%d.trn" % (backend, r, i), 4096)[0] for i in range(3)]
            procs = [start(HOMES[0], sc, fa, "--stream", str(stream), "--metadata"),
                     start(HOMES[1], sc, fb, "--stream", str(stream), "--metadata")]
            for p in procs:
                p.wait()
            names = record_names(root, stream)
            want = sorted(os.path.basename(f).encode() for f in fa + fb)
            if names is None or sorted(names) != want:
                short += 1
        print("%-5s two runs of one stream at once: document not the union of both %d (of %d rounds)" %
              (backend, short, n))
        five = [source("five_%s_%d.trn" % (backend, i), 4096)[0] for i in range(5)]
        run(HOMES[0], "backup", "--subclient", str(sc), "--stream", "900", "--metadata", *five)
        run(HOMES[0], "backup", "--subclient", str(sc), "--stream", "900", "--metadata", five[2])
        print("%-5s five-file stream, one file run again: %s records (want 5)" %
              (backend, len(record_names(root, 900) or [])))
        twenty = [source("jobs_%s_%02d.trn" % (backend, i), 4096)[0] for i in range(20)]
        run(HOMES[0], "backup", "--subclient", str(sc), "--stream", "901", "--metadata", "--jobs", "2", *twenty)
        names = record_names(root, 901) or []
        print("%-5s 20 files with --jobs 2: %d records, %d distinct (want 20)" % (backend, len(names), len(set(names))))
        sys.stdout.flush()


def names():
    for backend, sc, root in BACKENDS:
        home = HOMES[0]
        # Names the system uses for itself.
        p, data = source("q.trn.kxmp-replaced", 1000)
        rc = run(home, "backup", "--subclient", str(sc), p).returncode
        run(home, "search", "--subclient", str(sc), "")
        print("%-5s q.trn.kxmp-replaced: backup exit %d, intact after a search: %s" %
              (backend, rc, stored(root, "q.trn.kxmp-replaced") == data))
        p, data = source("solo.kxmp-replaced", 1000)
        rc = run(home, "backup", "--subclient", str(sc), p).returncode
        run(home, "search", "--subclient", str(sc), "")
        print("%-5s solo.kxmp-replaced: backup exit %d, intact after a search: %s, 'solo' appeared: %s" %
              (backend, rc, stored(root, "solo.kxmp-replaced") == data, stored(root, "solo") is not None))
        p, data = source("StreamMetadata_7.xml", 100)
        rc = run(home, "backup", "--subclient", str(sc), p).returncode
        run(home, "backup", "--subclient", str(sc), "--stream", "7", "--metadata", source("m7_%s.trn" % backend, 10)[0])
        print("%-5s a log named StreamMetadata_7.xml: backup exit %d, then replaced by stream 7's document: %s" %
              (backend, rc, rc == 0 and stored(root, "StreamMetadata_7.xml") != data))
        # Long names.
        results = []
        for length in (237, 238, 241, 242, 250, 255):
            name = ("L%d_" % length).ljust(length - 4, "x") + ".trn"
            p, data = source(name, 5000)
            b = run(home, "backup", "--subclient", str(sc), p).returncode
            out = os.path.join(BASE, "restore_%s_%d" % (backend, length))
            rr = run(home, "restore", "--subclient", str(sc), "^" + name + "$", "--to", out).returncode
            ok = stored(out, name) == data
            results.append("%d:backup %d restore %d%s" % (length, b, rr, "" if ok else " (not restored)"))
        print("%-5s long names: %s" % (backend, ", ".join(results)))
        # Names XML cannot carry as they are.
        stream = 950
        hostile = [b"ctl\x01x.trn", b"bad\xffname.trn", b"amp&<\"'>.trn", b"tab\tnl\nx.trn"]
        files = [source(h, 10, os.path.join(SRC, "hostile").encode())[0] for h in hostile]
        run(home, "backup", "--subclient", str(sc), "--stream", str(stream), "--metadata", *files)
        got = record_names(root, stream)
        print("%-5s hostile names in the stream metadata: document parses %s, names back byte-exact %s" %
              (backend, got is not None, got is not None and sorted(got) == sorted(hostile)))
        sys.stdout.flush()
    # File-mode: the data-path cache file's name as a log name.
    home = HOMES[0]
    p, data = source("DBLogBackupMAPathCache.xml", 100)
    run(home, "backup", "--subclient", "8", "--file-mode", source("fm.trn", 10)[0])
    rc = run(home, "backup", "--subclient", "8", "--file-mode", "--force", p).returncode
    cache = os.path.join(home, "jobresults", "2", "8", "DBLogBackupMAPathCache.xml")
    print("file-mode: a log named DBLogBackupMAPathCache.xml with --force: exit %d, cache file replaced: %s" %
          (rc, stored(os.path.dirname(cache), "DBLogBackupMAPathCache.xml") == data))


def file_mode_kills():
    home = HOMES[0]
    folder = os.path.join(home, "jobresults", "2", "8")
    n = rounds(12)
    size = 64 << 20
    torn = missing = killed = 0
    for r in range(n):
        name = "fm_big_%d.trn" % r
        p, old = source(name, size, os.path.join(SRC, "old"))
        run(home, "backup", "--subclient", "8", "--file-mode", p)
        p, new = source(name, size, os.path.join(SRC, "new"))
        t0 = time.time()
        proc = start(home, 8, [p], "--file-mode", "--force")
        # Kill once some of the new copy is written (or after a while).
        deadline = t0 + 20
        while time.time() < deadline and proc.poll() is None:
            time.sleep(0.002)
            if rng.random() < 0.02:
                break
        if proc.poll() is None:
            killed += 1
        proc.kill()
        proc.wait()
        s = stored(folder, name)
        if s is None:
            missing += 1
        elif s not in (old, new):
            torn += 1
    print("file-mode --force killed (%d MiB): torn %d, earlier copy gone %d (of %d rounds, %d killed while running)" %
          (size >> 20, torn, missing, n, killed))


for section in sys.argv[6:] or ["commit_races", "metadata", "names", "file_mode_kills"]:
    globals()[section]()
