#!/usr/bin/env python3
"""Generator of chat directories and chat records that look like real sessions.

What real transcripts carry, and this generator therefore does too:

- prose in several languages: about 15 % of sentences are German, French, Chinese,
  Japanese, Russian or Greek, or carry emoji;
- about 10 % of records written with \\uXXXX escapes for every non-ASCII character
  (surrogate pairs for emoji), as writers that escape everything do;
- prompts with fenced code blocks, quotes, backslashes, tabs and Windows paths;
- assistant records with tool calls whose `arguments` is JSON inside a string (so
  the line is full of \\" and \\n), and usage objects;
- tool results nested two levels deep, holding test logs, source files, JSON
  documents and terminal output with colour escapes (\\u001b[32m);
- the records the scanner acts on: a first record with sessionId, cwd, timestamp and
  gitBranch, session_source and parent_session system records, custom titles in the
  tail, title sidecars beside a fifth of the files.

The "ascii" profile is the older corpus of plain English words, kept for comparison.

    bench/chat_corpus.py dir OUT [--profile realistic|ascii] [--files N] [--seed S]
        writes OUT/chats/ (chat files and sidecars) and OUT/corpus.json
    bench/chat_corpus.py lines OUT [--profile ...] [--kind head|tail|any] [--count N]
        writes N records, one per line, as the reader benchmark reads them

The realistic directory: 10 000 files, about 3.4 GiB, median about 41 KB, a tenth of
the files between 1 and 6 MiB. Generation is deterministic for a seed.
"""

import argparse
import json
import math
import os
import random
import shutil
import sys
import time

CORPUS_VERSION = 1  # bump when the output changes, so that stale corpora are rebuilt

FILES = 10000
SIDECAR_SHARE = 5  # one file in five has a title sidecar
SMALL_MEDIAN = 23_000
SMALL_SIGMA = 1.1
LARGE_SHARE = 0.1
LARGE_MIN, LARGE_MAX = 1 << 20, 6 << 20
HEAD_LINE_LIMIT = 4000  # head records are short enough that ten fit the head window

# ---- Text ----

WORDS = ("the of and to in is that for it with as on be at by this from or have an are not was but which "
         "function test build error module retry timeout request response cache session store client server "
         "deadline config parser token buffer thread queue lock file path branch commit merge review").split()

FOREIGN = {
    "de": ["Bitte überprüfe die Änderungen im Modul für die Größenberechnung.",
           "Der Test schlägt fehl, weil die Datei nicht geöffnet werden kann.",
           "Könntest du die Fehlermeldung übersetzen und kürzer fassen?",
           "Äußerst merkwürdig: das passiert nur auf dem Server in München."],
    "fr": ["Peux-tu corriger l'erreur à la ligne 42 ? Ça échoue déjà.",
           "Le cache n'est pas vidé après la requête ; vérifie le délai d'expiration.",
           "Très bien, mais garde les commentaires en français, s'il te plaît.",
           "L'été dernier, ce module fonctionnait encore sans problème."],
    "zh": ["请帮我修复这个测试，它在并发情况下会失败。",
           "这个函数的返回值在错误路径上没有被检查。",
           "把配置文件里的超时时间改成三十秒，然后重新运行构建。",
           "日志显示连接在握手阶段就被关闭了。"],
    "ja": ["このテストは時々失敗します。原因を調べてください。",
           "設定ファイルのパスが間違っているようです。",
           "ビルドは成功しましたが、警告が三つ残っています。",
           "キャッシュを無効にすると問題は再現しません。"],
    "ru": ["Пожалуйста, проверь обработку ошибок в этом модуле.",
           "Сборка падает на этапе линковки, нужна помощь.",
           "Почему таймаут срабатывает раньше, чем ожидалось?",
           "Добавь тест для пустого файла и для файла без прав."],
    "el": ["Μπορείς να ελέγξεις γιατί αποτυγχάνει η δοκιμή;",
           "Η διαδρομή του αρχείου ρυθμίσεων είναι λάθος.",
           "Πρόσθεσε σχόλια στα ελληνικά, παρακαλώ."],
    "emoji": ["Looks good 👍 ship it 🚀", "✅ all tests pass 🎉", "Hmm 🤔 that broke the build 💥",
              "Nice catch 🙏 — merging now ✨", "🔥 hot path, keep it tight ⚡"],
}
FOREIGN_KEYS = sorted(FOREIGN)

CODE = [
    ("python", ['def parse(line):', '\tfields = line.split("\\t")', '\tif not fields:',
                '\t\traise ValueError(f"empty line: {line!r}")', '\treturn {"name": fields[0], "size": int(fields[1])}',
                'PATTERN = re.compile(r"^(\\d+)\\.(\\d+)\\s+\\"(.*)\\"$")']),
    ("cpp", ['#include <cstdio>', 'int main(int argc, char** argv) {',
             '\tif (argc < 2) { std::fprintf(stderr, "usage: %s FILE\\n", argv[0]); return 2; }',
             '\tconst char* quote = "\\"";', '\tstd::printf("%s%s%s\\n", quote, argv[1], quote);', '\treturn 0;', '}']),
    ("sh", ['set -euo pipefail', 'for f in "$@"; do', '\tgrep -E \'^[a-z_]+=\' "$f" | sed \'s/\\\\/\\//g\'',
            'done', 'printf \'%s\\t%s\\n\' "$USER" "C:\\\\Users\\\\dev\\\\project"']),
    ("json", ['{', '  "name": "orva-demo",', '  "scripts": {"test": "make test", "lint": "eslint \\"src/**/*.ts\\""},',
              '  "paths": ["C:\\\\work\\\\demo", "/home/dev/demo"]', '}']),
    ("makefile", ['all: build', 'build:', '\t$(CC) -O2 -Wall -o demo demo.c', 'test: build',
                  '\t./demo --check "input file.txt" > out.txt 2>&1']),
]


def words(rng, n):
    out, size = [], 0
    while size < n:
        word = rng.choice(WORDS)
        out.append(word)
        size += len(word) + 1
    return " ".join(out)[:n]


def sentence(rng, profile):
    if profile == "realistic" and rng.random() < 0.15:
        return rng.choice(FOREIGN[rng.choice(FOREIGN_KEYS)])
    text = words(rng, rng.randint(30, 140))
    return text[:1].upper() + text[1:] + rng.choice([".", ".", "?", ":", "!"])


def prose(rng, profile, n):
    out, size = [], 0
    while size < n:
        s = sentence(rng, profile)
        out.append(s)
        size += len(s) + 1
    return " ".join(out)


def code_block(rng):
    lang, lines = rng.choice(CODE)
    body = "\n".join(lines[:rng.randint(2, len(lines))])
    return "```%s\n%s\n```" % (lang, body)


def prompt_text(rng, profile, n):
    if profile == "ascii":
        return words(rng, n)
    parts = [prose(rng, profile, n // 2)]
    if rng.random() < 0.4:
        parts.append(code_block(rng))
    if rng.random() < 0.3:
        parts.append('The error says "%s" in `%s`.' % (words(rng, 30), rng.choice(
            ["src\\main.cpp", "C:\\Users\\dev\\app\\config.json", "/srv/app/log.txt"])))
    parts.append(prose(rng, profile, n // 3))
    return "\n\n".join(parts)[: max(n, 20)]


def test_log(rng, lines):
    green, red, reset = "\x1b[32m", "\x1b[31m", "\x1b[0m"
    out = []
    for k in range(lines):
        ok = rng.random() > 0.05
        out.append("test_%s_%03d ... %s%s%s" % (rng.choice(WORDS), k, green if ok else red, "ok" if ok else "FAILED", reset))
    return "\n".join(out)


def tool_output(rng, profile, n):
    kind = rng.random()
    if kind < 0.35:
        text = test_log(rng, max(3, n // 40))
    elif kind < 0.7:
        blocks = []
        while sum(len(b) for b in blocks) < n:
            blocks.append("\n".join(rng.choice(CODE)[1]))
        text = "\n".join("%5d\t%s" % (i + 1, l) for i, l in enumerate("\n".join(blocks).split("\n")))
    else:
        text = json.dumps({"items": [{"id": i, "name": words(rng, 12), "note": sentence(rng, profile)}
                                     for i in range(max(1, n // 90))]}, ensure_ascii=False, indent=2)
    return text[:n]


# ---- Records ----

def stamp(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % (t * 7 % 1000)


def dumps(record, rng, profile):
    """One record as a JSON line; about a tenth escape every non-ASCII character."""
    escaped = profile == "realistic" and rng.random() < 0.1
    return json.dumps(record, ensure_ascii=escaped, separators=(",", ":"))


def usage(rng):
    return {"input_tokens": rng.randint(200, 90000), "output_tokens": rng.randint(20, 4000),
            "cache_read_input_tokens": rng.randint(0, 80000), "cache_creation_input_tokens": rng.randint(0, 3000)}


def tool_call(rng, profile, i):
    name = rng.choice(["shell", "read_file", "edit_file", "search"])
    if name == "shell":
        arguments = {"command": rng.choice(["make test MODULE=m%02d" % (i % 97), "grep -rn \"TODO\" src/",
                                            "python3 -c 'print(\"ok\")'", "git diff --stat HEAD~1"]),
                     "timeout": 600}
    elif name == "edit_file":
        arguments = {"path": "src/%s.py" % rng.choice(WORDS), "old": code_block(rng), "new": code_block(rng)}
    else:
        arguments = {"path": rng.choice(["src/main.cpp", "C:\\work\\demo\\app.ts", "docs/notes.md"]),
                     "query": sentence(rng, profile)}
    return {"type": "tool_use", "id": "call_%06d" % i, "name": name,
            "arguments": json.dumps(arguments, ensure_ascii=False)}


def body_record(rng, profile, i, session):
    base = {"uuid": "%08x-%04x" % (rng.getrandbits(32), i), "parentUuid": "%08x" % rng.getrandbits(32),
            "sessionId": session["id"], "cwd": session["cwd"], "timestamp": stamp(1714557600 + i * 11)}
    kind = i % 5
    if kind == 0:
        parts = [{"type": "text", "text": prompt_text(rng, profile, rng.randint(80, 3000))}]
        base.update({"type": "assistant", "message": {"role": "assistant", "model": "orva-large-1",
                                                      "parts": parts, "usage": usage(rng)}})
    elif kind == 1:
        parts = [{"type": "text", "text": prose(rng, profile, rng.randint(40, 400))}]
        if profile == "realistic":
            parts.append(tool_call(rng, profile, i))
        base.update({"type": "assistant", "message": {"role": "assistant", "parts": parts, "usage": usage(rng)}})
    elif kind == 2:
        output = tool_output(rng, profile, rng.choice([300, 1200, 6000, 30000]))
        content = ([{"type": "text", "text": output}] if profile == "realistic" else output)
        base.update({"type": "user", "subtype": "tool_result", "message": {"role": "user", "parts": [
            {"type": "tool_result", "tool_use_id": "call_%06d" % (i - 1), "content": content}]}})
    else:
        base.update({"type": "user", "message": {"role": "user", "parts": [
            {"type": "text", "text": prompt_text(rng, profile, rng.randint(20, 800))}]}})
    return base


class Pool:
    """Records a long session is made of: short ones for the head, any for the body."""

    def __init__(self, rng, profile, size=600):
        session = {"id": "00000000-0000-4000-8000-000000000000", "cwd": "/home/dev/project"}
        self.short, self.body = [], []
        for i in range(size):
            line = dumps(body_record(rng, profile, i, session), rng, profile) + "\n"
            self.body.append(line)
            if len(line) <= HEAD_LINE_LIMIT:
                self.short.append(line)


def first_record(rng, profile, n, stem):
    record = {"type": "user", "sessionId": stem, "cwd": "/home/dev/project-%d" % (n % 40),
              "timestamp": stamp(1714557600 + n * 97), "version": "2.4.1"}
    if n % 7:
        record["gitBranch"] = "feature/%s-%d" % (rng.choice(WORDS), n % 13)
    record["message"] = {"role": "user", "parts": [
        {"type": "text", "text": prompt_text(rng, profile, rng.randint(30, 600))}]}
    return record


def system_record(subtype, payload, t):
    return {"type": "system", "subtype": subtype, "timestamp": stamp(t), "systemPayload": payload}


def chat_file(rng, profile, n, stem, size, pool, with_sidecar):
    t0 = 1714557600 + n * 97
    head = [dumps(first_record(rng, profile, n, stem), rng, profile) + "\n"]
    source = rng.random()
    source_line = dumps(system_record("session_source", {"sourceType": rng.choice(["cli", "ide", "web"]),
                                                          "sourceId": "src-%d" % n}, t0 + 1), rng, profile) + "\n"
    if source < 0.6:
        head.append(source_line)
    if n % 3 == 0:
        head.append(dumps(system_record("parent_session", {"parentSessionId": "parent-%d" % (n // 3)}, t0 + 2),
                          rng, profile) + "\n")
    while len(head) < 10:
        head.append(rng.choice(pool.short))
    tail = []
    if 0.6 <= source < 0.85:
        tail.append(source_line)
    if not with_sidecar and rng.random() < 0.35:
        title = {"type": "system", "subtype": "custom_title", "customTitle": sentence(rng, profile)[:60],
                 "titleSource": rng.choice(["auto", "manual", "prompt"]), "timestamp": stamp(t0 + 9999)}
        tail.append(dumps(title, rng, profile) + "\n")
    tail.append(rng.choice(pool.short))
    parts = head
    total = sum(len(p.encode()) for p in head) + sum(len(p.encode()) for p in tail)
    while total < size:
        line = rng.choice(pool.body)
        parts.append(line)
        total += len(line.encode())
    return "".join(parts + tail).encode()


def file_size(rng, profile):
    if profile == "realistic" and rng.random() < LARGE_SHARE:
        return int(math.exp(rng.uniform(math.log(LARGE_MIN), math.log(LARGE_MAX))))
    return max(600, min(LARGE_MIN - 1, int(rng.lognormvariate(math.log(SMALL_MEDIAN), SMALL_SIGMA))))


def sidecar(rng, profile, n):
    return json.dumps({"version": 1, "displayName": "  " + sentence(rng, profile)[:50] + " ", "source": "auto",
                       "updatedAt": stamp(1714557600 + n)}, ensure_ascii=False, indent=2) + "\n"


def write_directory(out, profile="realistic", files=FILES, seed=20240501):
    """Writes out/chats/ and out/corpus.json; returns the total bytes of chat files."""
    chats = os.path.join(out, "chats")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(chats)
    rng = random.Random(seed)
    pool = Pool(rng, profile)
    total = 0
    for n in range(files):
        stem = "%08x-%04x-4%03x-8%03x-%012x" % (rng.getrandbits(32), rng.getrandbits(16), n % 4096,
                                                rng.getrandbits(12), rng.getrandbits(48))
        with_sidecar = n % SIDECAR_SHARE == 0
        content = chat_file(rng, profile, n, stem, file_size(rng, profile), pool, with_sidecar)
        total += len(content)
        with open(os.path.join(chats, stem + ".jsonl"), "wb") as f:
            f.write(content)
        if with_sidecar:
            with open(os.path.join(chats, stem + ".title.json"), "w", encoding="utf-8") as f:
                f.write(sidecar(rng, profile, n))
    description = {"version": CORPUS_VERSION, "profile": profile, "files": files, "seed": seed, "bytes": total}
    with open(os.path.join(out, "corpus.json"), "w") as f:
        json.dump(description, f)
    return total


def directory_ready(out, profile="realistic", files=FILES, seed=20240501):
    """True when out holds the corpus write_directory would write with these settings."""
    try:
        with open(os.path.join(out, "corpus.json")) as f:
            found = json.load(f)
    except (OSError, ValueError):
        return False
    return found == {**found, "version": CORPUS_VERSION, "profile": profile, "files": files, "seed": seed}


def write_lines(out, profile="realistic", kind="head", count=20000, seed=20240502):
    """count records, one per line: head records as the catalog parses them (first
    records, prompts, system records and short body records), tail records (any
    record of a session's body), or any of both."""
    rng = random.Random(seed)
    pool = Pool(rng, profile)
    with open(out, "w", encoding="utf-8") as f:
        for n in range(count):
            pick = kind if kind != "any" else rng.choice(["head", "tail"])
            if pick == "head":
                roll = n % 10
                if roll == 0:
                    stem = "%08x-0000-4000-8000-%012x" % (n, n)
                    line = dumps(first_record(rng, profile, n, stem), rng, profile) + "\n"
                elif roll == 1:
                    line = dumps(system_record("session_source", {"sourceType": "cli", "sourceId": "src-%d" % n},
                                               1714557600 + n), rng, profile) + "\n"
                else:
                    line = rng.choice(pool.short)
            else:
                line = rng.choice(pool.body)
            f.write(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="what", required=True)
    d = sub.add_parser("dir", help="write a chat directory")
    d.add_argument("out")
    d.add_argument("--profile", choices=("realistic", "ascii"), default="realistic")
    d.add_argument("--files", type=int, default=FILES)
    d.add_argument("--seed", type=int, default=20240501)
    l = sub.add_parser("lines", help="write records one per line")
    l.add_argument("out")
    l.add_argument("--profile", choices=("realistic", "ascii"), default="realistic")
    l.add_argument("--kind", choices=("head", "tail", "any"), default="head")
    l.add_argument("--count", type=int, default=20000)
    l.add_argument("--seed", type=int, default=20240502)
    args = parser.parse_args()
    if args.what == "dir":
        total = write_directory(args.out, args.profile, args.files, args.seed)
        print("%s: %d chat files, %.2f GiB" % (args.out, args.files, total / (1 << 30)))
    else:
        write_lines(args.out, args.profile, args.kind, args.count, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
