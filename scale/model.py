#!/usr/bin/env python3
"""The scale model of docs/scale.md: projected wall time of a QuoventMR_v3 run over 1 TB and
100 TB on 10, 100 and 1,000 nodes, with today's single merge and the merge in parallel parts.

Every rate below was measured on the development machine (see docs/scale.md for the commands);
every assumption about the cluster is a named constant. Prints a Markdown table."""
import math

MB = 1e6
GB = 1e9
TB = 1e12

# The cluster (assumptions).
CORES_PER_NODE = 32
FS_BYTES_PER_S_PER_NODE = 1 * GB   # what one node reads or writes on the shared file system
FS_BYTES_PER_S_MOST = 100 * GB     # what the shared file system gives all nodes together
TASK_START_S = 0.2                 # Slurm's cost of starting one array task (measured, 3 nodes)
SHARD_BYTES = 128 * 2**20          # QuoventMR_v3's default shard size
MERGE_FAN_IN = 128                 # result files merged at once; more go in rounds

# The corpora (measured): count rate of one core (bytes of text a CPU second), result bytes of
# a 128 MiB shard over its bytes, merge rate of one process (bytes of shard results a CPU
# second), and the bytes of the union of 128 shards' results (what a later round reads a group).
CORPORA = {
    "prose, C.UTF-8": dict(count=256 * MB, result_ratio=0.0063, merge=53 * MB, group=0.9 * MB),
    "vocab, C.UTF-8": dict(count=52 * MB, result_ratio=0.156, merge=74 * MB, group=30 * MB),
    "vocab, en_US.UTF-8": dict(count=23 * MB, result_ratio=0.156, merge=27 * MB, group=30 * MB),
}


def file_system(nodes):
    return min(nodes * FS_BYTES_PER_S_PER_NODE, FS_BYTES_PER_S_MOST)


def count_seconds(corpus, text, nodes):
    cores = nodes * CORES_PER_NODE
    shards = math.ceil(text / SHARD_BYTES)
    compute = text / (cores * corpus["count"])
    reading = text / file_system(nodes)
    starting = shards * TASK_START_S / cores
    return max(compute, reading) + starting


def merge_rounds(corpus, text):
    """The bytes each round of the merge reads: the shard results, then the groups' outputs."""
    files = math.ceil(text / SHARD_BYTES)
    rounds = [text * corpus["result_ratio"]]
    while files > MERGE_FAN_IN:
        files = math.ceil(files / MERGE_FAN_IN)
        rounds.append(files * corpus["group"])
    return rounds


def merge_seconds(corpus, text, nodes, parallel):
    total = 0.0
    for read in merge_rounds(corpus, text):
        if parallel:
            rate = min(nodes * CORES_PER_NODE * corpus["merge"], file_system(nodes))
        else:
            rate = min(corpus["merge"], FS_BYTES_PER_S_PER_NODE)
        total += read / rate
    return total


def hours(seconds):
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"


def main():
    print("| corpus | text | nodes | count | single merge | whole run | parallel merge | whole run |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for name, corpus in CORPORA.items():
        for text in (1 * TB, 100 * TB):
            for nodes in (10, 100, 1000):
                count = count_seconds(corpus, text, nodes)
                single = merge_seconds(corpus, text, nodes, parallel=False)
                parts = merge_seconds(corpus, text, nodes, parallel=True)
                print(f"| {name} | {text / TB:.0f} TB | {nodes:,} | {hours(count)} | "
                      f"{hours(single)} | {hours(count + single)} | {hours(parts)} | "
                      f"{hours(count + parts)} |")


if __name__ == "__main__":
    main()
