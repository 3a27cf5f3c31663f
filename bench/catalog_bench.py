#!/usr/bin/env python3
"""End-to-end benchmark of orva-session-scan against orva-io-baseline.

Generates (once, deterministically) a realistic chat directory: 10 000 chat files
with log-normal sizes around a 40 KB median and a tail of multi-megabyte
transcripts, a fifth of them with a title sidecar. Then, in one invocation, it
alternates timed runs of the scanner and of the I/O-only baseline (same listing,
same pool, same system calls and read windows, no parsing) for scan-catalog and
scan-project-ids, each on its default thread count.

This machine drops file cache that has been idle for about a minute, so the corpus
windows are read again right before every timed run, and a run counts only if it
read nothing from disk: its own block-input count (rusage) must be 0, and the
system-wide pgpgin of /proc/vmstat is reported beside it. Prints median wall
times, the ratios scanner/baseline and the peak resident set of every program.

    bench/catalog_bench.py [--build build/bench] [--corpus /tmp/orva-bench] [--rounds 7]
"""

import argparse
import json
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

FILES = 10000
MEDIAN_BYTES = 40_000
SIGMA = 1.3
MAX_BYTES = 24 << 20
SIDECAR_SHARE = 5  # one file in five
CORPUS_VERSION = 3
TARGETS = {"scan-catalog": 2.0, "scan-project-ids": 1.5}
RSS_TARGET_KIB = 64 * 1024

WORDS = ("the of and to in is that for it with as on be at by this from or have an are not was but which "
         "function test build error module retry timeout request response cache session store client server "
         "deadline config parser token buffer thread queue lock file path branch commit merge review").split()


# ---- The corpus ----

def text(rng, n):
    out = []
    size = 0
    while size < n:
        word = rng.choice(WORDS)
        out.append(word)
        size += len(word) + 1
    return " ".join(out)[:n]


def dumps(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


def stamp(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % (t * 7 % 1000)


def record_pool(rng):
    """Lines a long session is made of: short ones for the head, any for the body."""
    short, body = [], []
    for i in range(400):
        kind = i % 4
        if kind == 0:
            r = {"type": "assistant", "uuid": "a-%d" % i,
                 "message": {"role": "assistant", "model": "orva-large-1",
                             "parts": [{"type": "text", "text": text(rng, rng.randint(80, 3000))}]}}
        elif kind == 1:
            r = {"type": "assistant", "uuid": "t-%d" % i,
                 "message": {"role": "assistant", "parts": [
                     {"type": "text", "text": text(rng, rng.randint(40, 400))},
                     {"type": "tool_use", "name": "shell",
                      "input": {"command": "make test MODULE=m%02d" % (i % 97), "timeout": 600}}]}}
        elif kind == 2:
            lines = "\n".join("test_%s_%03d ... ok" % (rng.choice(WORDS), k) for k in range(rng.randint(5, 600)))
            r = {"type": "user", "subtype": "tool_result", "uuid": "r-%d" % i,
                 "message": {"role": "user", "parts": [{"type": "tool_result", "content": lines}]}}
        else:
            r = {"type": "user", "uuid": "u-%d" % i,
                 "message": {"role": "user", "parts": [{"type": "text", "text": text(rng, rng.randint(20, 600))}]}}
        r["timestamp"] = stamp(1714557600 + i * 11)
        line = dumps(r) + "\n"
        body.append(line)
        if len(line) <= 4000:
            short.append(line)
    return short, body


def chat_file(rng, n, stem, size, pool, with_sidecar):
    short, body = pool
    t0 = 1714557600 + n * 97
    first = {"type": "user", "sessionId": stem, "cwd": "/home/dev/project-%d" % (n % 40),
             "timestamp": stamp(t0), "version": "2.4.1"}
    if n % 7:
        first["gitBranch"] = "feature/%s-%d" % (rng.choice(WORDS), n % 13)
    first["message"] = {"role": "user", "parts": [{"type": "text", "text": text(rng, rng.randint(30, 500))}]}
    head = [dumps(first) + "\n"]
    source = rng.random()
    source_record = dumps({"type": "system", "subtype": "session_source", "timestamp": stamp(t0 + 1),
                           "systemPayload": {"sourceType": rng.choice(["cli", "ide", "web"]),
                                             "sourceId": "src-%d" % n}}) + "\n"
    if source < 0.6:
        head.append(source_record)
    if n % 3 == 0:
        head.append(dumps({"type": "system", "subtype": "parent_session",
                           "systemPayload": {"parentSessionId": "parent-%d" % (n // 3)}}) + "\n")
    while len(head) < 10:
        head.append(rng.choice(short))
    tail = []
    if 0.6 <= source < 0.85:
        tail.append(source_record)
    if not with_sidecar and rng.random() < 0.35:
        tail.append(dumps({"type": "system", "subtype": "custom_title", "customTitle": text(rng, 30),
                           "titleSource": rng.choice(["auto", "manual", "prompt"])}) + "\n")
    tail.append(rng.choice(short))
    parts = head
    total = sum(len(p) for p in head) + sum(len(p) for p in tail)
    while total < size:
        line = rng.choice(body)
        parts.append(line)
        total += len(line)
    return "".join(parts + tail)


def generate(corpus):
    chats = os.path.join(corpus, "chats")
    shutil.rmtree(corpus, ignore_errors=True)
    os.makedirs(chats)
    rng = random.Random(20240501)
    pool = record_pool(rng)
    total = 0
    for n in range(FILES):
        stem = "%08x-%04x-4%03x-8%03x-%012x" % (rng.getrandbits(32), rng.getrandbits(16), n % 4096,
                                                rng.getrandbits(12), rng.getrandbits(48))
        size = min(MAX_BYTES, max(600, int(rng.lognormvariate(math.log(MEDIAN_BYTES), SIGMA))))
        with_sidecar = n % SIDECAR_SHARE == 0
        content = chat_file(rng, n, stem, size, pool, with_sidecar).encode()
        total += len(content)
        with open(os.path.join(chats, stem + ".jsonl"), "wb") as f:
            f.write(content)
        if with_sidecar:
            with open(os.path.join(chats, stem + ".title.json"), "w") as f:
                json.dump({"version": 1, "displayName": "  " + text(rng, 40) + " ", "source": "auto",
                           "updatedAt": stamp(1714557600 + n)}, f, indent=2)
                f.write("\n")
    with open(os.path.join(corpus, "corpus.json"), "w") as f:
        json.dump({"version": CORPUS_VERSION, "files": FILES, "bytes": total}, f)


def corpus_ready(corpus):
    try:
        with open(os.path.join(corpus, "corpus.json")) as f:
            return json.load(f).get("version") == CORPUS_VERSION
    except (OSError, ValueError):
        return False


def describe(chats):
    sizes = sorted(os.path.getsize(os.path.join(chats, n)) for n in os.listdir(chats) if n.endswith(".jsonl"))
    sidecars = sum(1 for n in os.listdir(chats) if n.endswith(".title.json"))
    big = sum(1 for s in sizes if s > 1 << 20)
    print("corpus: %d chat files, %.0f MB, median %.1f KB, p90 %.0f KB, max %.1f MB, %d over 1 MiB, "
          "%d sidecars" % (len(sizes), sum(sizes) / 1e6, sizes[len(sizes) // 2] / 1e3,
                           sizes[len(sizes) * 9 // 10] / 1e3, sizes[-1] / 1e6, big, sidecars))


# ---- Runs ----

def pgpgin():
    with open("/proc/vmstat") as f:
        for line in f:
            if line.startswith("pgpgin "):
                return int(line.split()[1])
    return 0


def run(runner, argv):
    """One run through orva-measured-run: wall and CPU seconds, peak RSS (KiB), blocks
    read from disk and exit status, with the output on /dev/null."""
    out = subprocess.run([runner, *argv], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out)


def warm(baseline, chats):
    """Reads every window and sidecar the timed runs read, and stats every entry."""
    subprocess.run([baseline, "scan-catalog", chats], stdout=subprocess.DEVNULL, check=True)


def timed(runner, argv, baseline, chats, attempts=4):
    for _ in range(attempts):
        warm(baseline, chats)
        before = pgpgin()
        result = run(runner, argv)
        result["pgpgin"] = pgpgin() - before
        if result["status"] != 0:
            sys.exit("%s exited with %d" % (argv[0], result["status"]))
        if result["inblock"] == 0:
            return result
        print("  (a run of %s read %d blocks from disk; repeated)" % (os.path.basename(argv[0]), result["inblock"]))
    sys.exit("could not get a run without disk reads")


def syscall_counts(argv):
    """File-system system calls of one run, from strace -c (None without strace)."""
    if shutil.which("strace") is None:
        return None
    out = subprocess.run(["strace", "-f", "-c", "-U", "name,calls", "-e",
                          "trace=newfstatat,lstat,openat,fstat,lseek,read,close", *argv],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True).stderr
    counts = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 2 and fields[1].isdigit():
            counts[fields[0]] = int(fields[1])
    return counts


def check_outputs(scanner, chats):
    """What the scanner made of the corpus: statuses and sidecars read."""
    document = json.loads(subprocess.run([scanner, "scan-catalog", chats], stdout=subprocess.PIPE,
                                         check=True).stdout)
    statuses = {}
    for entry in document["entries"]:
        statuses[entry["status"]] = statuses.get(entry["status"], 0) + 1
    sidecars = sum(1 for e in document["entries"] if "titleSidecar" in e)
    titles = sum(1 for e in document["entries"] if "customTitle" in e)
    sources = sum(1 for e in document["entries"] if "sourceType" in e)
    print("scan-catalog result: %s; %d custom titles, %d sources, %d sidecars read" %
          (statuses, titles, sources, sidecars))
    return sidecars


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build", "bench"))
    parser.add_argument("--corpus", default="/tmp/orva-bench")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    scanner = os.path.join(args.build, "session-scan", "orva-session-scan")
    baseline = os.path.join(args.build, "bench", "orva-io-baseline")
    runner = os.path.join(args.build, "bench", "orva-measured-run")
    for program in (scanner, baseline, runner):
        if not os.access(program, os.X_OK):
            sys.exit("missing %s: build it with `make bench`" % program)
    chats = os.path.join(args.corpus, "chats")
    if not corpus_ready(args.corpus):
        print("generating the corpus in %s ..." % args.corpus)
        generate(args.corpus)
    describe(chats)
    sidecars = check_outputs(scanner, chats)
    sidecar_files = sum(1 for n in os.listdir(chats) if n.endswith(".title.json"))
    if sidecars != sidecar_files:
        print("note: the scanner read %d of %d sidecars; the baseline reads all of them" % (sidecars, sidecar_files))

    for mode in TARGETS:
        counts = [syscall_counts([program, mode, chats]) for program in (scanner, baseline)]
        if counts[0] is not None:
            print("%s system calls (strace -f -c), scanner vs baseline:" % mode)
            for name in sorted(set(counts[0]) | set(counts[1])):
                print("  %-10s %8d %8d" % (name, counts[0].get(name, 0), counts[1].get(name, 0)))

    runs = {(mode, who): [] for mode in TARGETS for who in ("scanner", "baseline")}
    for r in range(args.rounds):
        for mode in TARGETS:
            order = ("baseline", "scanner") if r % 2 == 0 else ("scanner", "baseline")
            for who in order:
                program = scanner if who == "scanner" else baseline
                runs[(mode, who)].append(timed(runner, [program, mode, chats], baseline, chats))
        print("round %d of %d done" % (r + 1, args.rounds))

    def median(mode, who, key):
        return statistics.median(r[key] for r in runs[(mode, who)])

    def peak(mode, who):
        return max(r["maxrssKiB"] for r in runs[(mode, who)]) / 1024

    print()
    print("medians of %d alternating runs each, default thread count, page cache warm:" % args.rounds)
    print("%-17s %11s %11s %7s %7s | %9s %9s %6s | %11s %11s" % (
        "subcommand", "scanner ms", "baseline ms", "ratio", "target", "scan cpu", "base cpu", "ratio",
        "scanner RSS", "baseline RSS"))
    ok = True
    for mode, target in TARGETS.items():
        wall = median(mode, "scanner", "seconds") / median(mode, "baseline", "seconds")
        cpu = median(mode, "scanner", "cpuSeconds") / median(mode, "baseline", "cpuSeconds")
        ok &= wall <= target and peak(mode, "scanner") * 1024 < RSS_TARGET_KIB
        print("%-17s %11.1f %11.1f %7.2f %7.1f | %9.1f %9.1f %6.2f | %7.1f MiB %7.1f MiB" % (
            mode, median(mode, "scanner", "seconds") * 1e3, median(mode, "baseline", "seconds") * 1e3, wall,
            target, median(mode, "scanner", "cpuSeconds") * 1e3, median(mode, "baseline", "cpuSeconds") * 1e3, cpu,
            peak(mode, "scanner"), peak(mode, "baseline")))
    for (mode, who), results in runs.items():
        print("  %-16s %-8s wall ms: %s" % (mode, who, " ".join("%.0f" % (r["seconds"] * 1e3) for r in results)))
    disk = sum(r["inblock"] for results in runs.values() for r in results)
    paged = sum(r["pgpgin"] for results in runs.values() for r in results)
    print("timed runs: %d blocks read from disk by the programs (rusage); system-wide pgpgin meanwhile: %d KiB"
          % (disk, paged))
    print("targets %s: scan-catalog <= 2.0x, scan-project-ids <= 1.5x (wall), peak RSS < 64 MiB" %
          ("met" if ok else "NOT met"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
