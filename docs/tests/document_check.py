"""Checks of the scanner's two documents: the JSON Schemas in docs/, and what a
schema cannot say about the bytes (one line, strict UTF-8, key order, the
canonical number and string forms, the order of the entries). Also writes a small
chat directory whose documents show every status and every optional key."""

import decimal
import json
import os
import sys

DOCS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE_DIR = os.path.dirname(DOCS_DIR)
sys.path.insert(0, os.path.join(SOURCE_DIR, "session-scan", "tests"))

import scanner_harness  # noqa: E402  (shared black-box helpers)

from jsonschema import Draft202012Validator  # noqa: E402

SCHEMA_FILES = {"catalog": "catalog.schema.json", "project-ids": "project-ids.schema.json"}
TOP_KEYS = {"catalog": ["version", "truncated", "entries"], "project-ids": ["version", "entries"]}
ENTRY_KEYS = {
    "catalog": ["name", "mtimeMs", "status", "sessionId", "cwd", "startTime", "gitBranch",
                "promptText", "parentSessionId", "sourceType", "sourceId", "customTitle",
                "titleSource", "titleSidecar"],
    "project-ids": ["name", "status", "sessionId", "cwd"],
}
SIDECAR_KEYS = ["displayName", "source"]


def load_schema(kind):
    with open(os.path.join(DOCS_DIR, SCHEMA_FILES[kind]), encoding="utf-8") as f:
        return json.load(f)


_validators = {}


def validator(kind):
    if kind not in _validators:
        schema = load_schema(kind)
        Draft202012Validator.check_schema(schema)
        _validators[kind] = Draft202012Validator(schema)
    return _validators[kind]


def schema_errors(kind, document):
    """Messages of every schema violation of a parsed document (empty when valid)."""
    return ["%s: %s" % ("/".join(map(str, e.absolute_path)) or "(root)", e.message)
            for e in validator(kind).iter_errors(document)]


class Number:
    """A number kept as the text the document spelled it with."""

    def __init__(self, text):
        self.text = text


class Members(list):
    """An object kept as its (key, value) pairs in document order."""


def canonical_number(text):
    """The plain positional spelling of the shortest digits that convert back to the
    same double as text: no exponent, no point for integral values."""
    shortest = decimal.Decimal(repr(float(text)))
    spelled = format(shortest, "f")
    if "." in spelled:
        spelled = spelled.rstrip("0").rstrip(".")
    return spelled


def _serialize(value, out):
    if isinstance(value, Members):
        out.append("{")
        for i, (key, member) in enumerate(value):
            out.append(("," if i else "") + json.dumps(key, ensure_ascii=False) + ":")
            _serialize(member, out)
        out.append("}")
    elif isinstance(value, list):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _serialize(item, out)
        out.append("]")
    elif isinstance(value, Number):
        out.append(canonical_number(value.text))
    else:
        # Strings: the same escapes as the scanner's writer (\b \t \n \f \r \" \\,
        # \u00xx in lowercase for other control bytes, everything else as is).
        out.append(json.dumps(value, ensure_ascii=False))


def _plain(value):
    if isinstance(value, Members):
        return {key: _plain(member) for key, member in value}
    if isinstance(value, list):
        return [_plain(item) for item in value]
    if isinstance(value, Number):
        return json.loads(value.text)
    return value


def _key_problems(kind, document):
    problems = []
    if [k for k, _ in document] != TOP_KEYS[kind]:
        problems.append("top-level keys %r" % [k for k, _ in document])
    entries = dict(document).get("entries", [])
    for index, entry in enumerate(entries if isinstance(entries, list) else []):
        keys = [k for k, _ in entry] if isinstance(entry, Members) else []
        if len(set(keys)) != len(keys) or keys != [k for k in ENTRY_KEYS[kind] if k in keys]:
            problems.append("entry %d: keys out of order or repeated: %r" % (index, keys))
        sidecar = dict(entry).get("titleSidecar") if isinstance(entry, Members) else None
        if isinstance(sidecar, Members) and [k for k, _ in sidecar] != SIDECAR_KEYS:
            problems.append("entry %d: titleSidecar keys %r" % (index, [k for k, _ in sidecar]))
    return problems


def _order_problems(kind, entries):
    if not isinstance(entries, list) or not all(isinstance(e, dict) for e in entries):
        return []
    try:
        if kind == "catalog":
            keys = [(-e["mtimeMs"], e["name"].encode()) for e in entries]
        else:
            keys = [e["name"].encode() for e in entries]
    except (KeyError, TypeError, AttributeError):
        return []  # the schema reports the missing or mistyped member
    if keys != sorted(keys):
        return ["entries are not in listing order"]
    return []


def _reject_constant(word):
    raise ValueError("%s is not a JSON number" % word)


def check_document(kind, raw):
    """Every problem of the bytes raw as a document of kind ("catalog" or
    "project-ids"); an empty list means the document is exactly as specified.
    Returns (problems, parsed document or None)."""
    if not raw.endswith(b"\n") or raw.count(b"\n") != 1:
        return ["not one line ending in a line feed: %r" % raw[:120]], None
    try:
        text = raw[:-1].decode("utf-8", errors="strict")
    except UnicodeDecodeError as error:
        return ["not UTF-8: %s" % error], None
    try:
        ordered = json.loads(text, object_pairs_hook=Members, parse_int=Number,
                             parse_float=Number, parse_constant=_reject_constant)
    except ValueError as error:
        return ["not JSON: %s" % error], None
    if not isinstance(ordered, Members):
        return ["not a JSON object"], None
    document = _plain(ordered)
    problems = schema_errors(kind, document)
    problems += _key_problems(kind, ordered)
    spelled = []
    _serialize(ordered, spelled)
    if "".join(spelled) != text:
        problems.append("not in canonical form (blanks, escapes or number spelling)")
    problems += _order_problems(kind, document.get("entries"))
    return problems, document


# --- a chat directory that shows every status and every optional key --------------

NS_PER_MS = 1_000_000
BASE_NS = 1_700_000_000_123_456_789


def _record(**members):
    return members


def write_sample_chats(case):
    """Fills case.chats (a scanner_harness.ChatDirTestCase) with files that give,
    between them, every status and every optional key of both documents."""
    def name(n, upper=False):
        stem, file_name = scanner_harness.session_name(n)
        if upper:
            stem = stem.replace("-", "").upper()
            file_name = stem + ".jsonl"
        return stem, file_name

    def first(stem, **extra):
        record = _record(sessionId=stem, cwd="/home/dev/app", timestamp="2023-11-14T22:13:20.000Z")
        record.update(extra)
        return record

    stem, full = name(1)
    case.write_file(full, [
        first(stem, cwd="/home/dev/caf\u00e9 \"quoted\"\\\x1b\x7f/", gitBranch="main", type="user",
              message={"parts": [{"text": "Fix the \"login\" test\nnow \u2713"}]}),
        _record(type="system", subtype="parent_session",
                systemPayload={"parentSessionId": "6f1c0d2e-0000-4000-8000-000000000001"}),
        _record(type="system", subtype="session_source",
                systemPayload={"sourceType": "terminal", "sourceId": "tty-7"}),
        _record(type="system", subtype="custom_title", customTitle="Login fix",
                titleSource="manual"),
    ], mtime_ns=BASE_NS)

    # No prompt and no custom title: the sidecar is read. The source record has an
    # empty type, so only its identifier is reported.
    stem, sidecar = name(2)
    case.write_file(sidecar, [
        first(stem, gitBranch=""),
        _record(type="system", subtype="session_source",
                systemPayload={"sourceType": "", "sourceId": "orphan-id"}),
    ], mtime_ns=BASE_NS - 1000 * NS_PER_MS)
    case.write_file(stem + ".title.json",
                    '{"version":1,"displayName":"  Release notes \u00a0","source":"prompt"}\n')

    # Same time as the previous file: ordered by name after it.
    stem, upper = name(3, upper=True)
    case.write_file(upper, [first(stem)], mtime_ns=BASE_NS - 1000 * NS_PER_MS)

    case.write_file(name(4)[1], b"", mtime_ns=BASE_NS - 2000 * NS_PER_MS)            # skip
    case.write_file(name(5)[1], b"\n  \t\r\n", mtime_ns=BASE_NS - 3000 * NS_PER_MS)  # skip
    case.write_file(name(6)[1], b"not json\n", mtime_ns=BASE_NS - 4000 * NS_PER_MS)  # fallback
    stem, no_time = name(7)
    # Catalog fallback (no timestamp), project-ids ok.
    case.write_file(no_time, [_record(sessionId=stem, cwd="")], mtime_ns=-1_500 * NS_PER_MS)

    directory = os.path.join(case.chats, name(8)[1])                                # skip
    os.mkdir(directory)
    os.utime(directory, ns=(BASE_NS - 5000 * NS_PER_MS,) * 2)
    # Left out of the catalog, "skip" in project-ids.
    os.symlink(full, os.path.join(case.chats, name(9)[1]))
    case.write_file("notes.txt", "not a chat file\n")
    case.write_file("ffffffff-0000-4000-8000-00000000ffff.title.json", "{}")
