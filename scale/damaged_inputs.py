#!/usr/bin/env python3
"""Damaged compressed files against QuoventMR_v3: a table of refused, exact and wrong counts.

Makes two texts of 300 KB from the benchmark's corpus generator, stores them in every format
that QuoventMR_v3 decodes, and damages each file COUNT times from a fixed seed: three bit flips
at random places (the magic number included) to one cut at a random length. Each damaged copy
is counted (-j 2, alternately whole in one shard and through the feeder with -s 1K). A run
ends "refused" (status 65), "exact" (status 0 and the intact file's result) or "wrong"
(anything else); a wrong count is kept as wrong_<n>_<file> in the work directory.
Outside the regular test suite. Usage: scale/damaged_inputs.py <bin-dir> <work-dir> [COUNT]
"""
import os
import random
import shutil
import subprocess
import sys

FORMATS = ["one.gz", "two.gz", "t.tar.gz", "t.tar.xz", "one.bz2", "one.xz", "one.zst",
           "deflated.zip", "stored.zip"]
MAKE = ("gzip -c t0 > one.gz; (gzip -c t0; gzip -c t1) > two.gz; tar czf t.tar.gz t0 t1;"
        "tar cJf t.tar.xz t0 t1; bzip2 -c t0 > one.bz2; xz -c t0 > one.xz;"
        "zstd -q -c t0 > one.zst; rm -f deflated.zip stored.zip; python3 -c \"import zipfile as z\n"
        "for name, kind in (('deflated.zip', z.ZIP_DEFLATED), ('stored.zip', z.ZIP_STORED)):\n"
        " with z.ZipFile(name, 'w', kind) as f: f.write('t0'); f.write('t1')\"")


def count(program, path, shard_size):
    shutil.rmtree("tmp", ignore_errors=True)
    if os.path.exists("out.txt"):
        os.remove("out.txt")
    run = subprocess.run([program, "-j", "2", "-s", shard_size, "-o", "out.txt", path],
                         capture_output=True)
    return run.returncode, open("out.txt", "rb").read() if run.returncode == 0 else None


def main():
    program = os.path.join(os.path.abspath(sys.argv[1]), "QuoventMR_v3")
    work = sys.argv[2]
    per_format = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench",
                          "make_corpus.py")
    os.makedirs(work, exist_ok=True)
    os.chdir(work)
    subprocess.run([sys.executable, corpus, "--seed", "3", "--megabytes", "1", "corpus.txt"],
                   check=True)
    text = open("corpus.txt", "rb").read()
    open("t0", "wb").write(text[:300000])
    open("t1", "wb").write(text[300000:600000])
    subprocess.run(MAKE, shell=True, check=True)
    rng = random.Random(26)
    print(f"{'format':14} {'refused':>8} {'exact':>6} {'wrong':>6}")
    totals = [0, 0, 0]
    for name in FORMATS:
        status, expected = count(program, name, "64M")
        if status != 0:
            sys.exit(f"the intact {name} was not counted (status {status})")
        intact = open(name, "rb").read()
        tally = [0, 0, 0]
        for i in range(per_format):
            damaged = bytearray(intact)
            if i % 4 == 3:
                damaged = damaged[:rng.randrange(1, len(damaged))]
            else:
                at = rng.randrange(len(damaged))
                damaged[at] ^= 1 << rng.randrange(8)
            open("damaged", "wb").write(damaged)
            status, result = count(program, "damaged", "1K" if i % 2 else "64M")
            if status == 65:
                tally[0] += 1
            elif status == 0 and result == expected:
                tally[1] += 1
            else:
                tally[2] += 1
                shutil.copy("damaged", f"wrong_{i}_{name}")
        totals = [a + b for a, b in zip(totals, tally)]
        print(f"{name:14} {tally[0]:8} {tally[1]:6} {tally[2]:6}", flush=True)
    print(f"{'all':14} {totals[0]:8} {totals[1]:6} {totals[2]:6}")
    return 1 if totals[2] else 0


if __name__ == "__main__":
    sys.exit(main())
