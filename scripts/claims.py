# SPDX-License-Identifier: MIT
"""Checks that every claim of the manual page and of docs/reliability.md
still names evidence that exists.

    scripts/claims

Each statement of behaviour carries, out of the reader's sight, what would
fail if it were false: a roff comment in man/sockrelay.1.in, or an HTML
comment in docs/reliability.md, just before the text it holds:

    .\\" held: test Sizes/Chunking.*, fault chunk-64k
    <!-- held: run scripts/soak --seconds 600 --seed 20261209 -->

Its items, separated by ", ", are "test NAME" (a test as CTest lists it,
or a pattern with * that must match at least one), "fault NAME" (a row of
tests/faults.txt) or "run COMMAND" (a figure's command; a script of this
tree must exist). A statement that nothing here holds says so instead, in
a comment "untested: WHY".
Each item that names nothing is reported with the statement it held, and
so is a cited manual page that SEE ALSO lacks. Silent and exit 0 when
everything holds; the test names come from CTest in build/ (BUILD), which
scripts/build brings up to date first.
"""
import fnmatch
import json
import os
import re
import subprocess
import sys

from faults import read_table
from relaykit import BUILD, ROOT

DOCS = {
    os.path.join("man", "sockrelay.1.in"): re.compile(r'^\.\\" held: (.*)$'),
    os.path.join("docs", "reliability.md"): re.compile(r"^<!-- held: (.*) -->$"),
}


def test_names():
    subprocess.run([os.path.join(ROOT, "scripts", "build")], check=True,
                   env=dict(os.environ, BUILD=BUILD))
    listing = subprocess.run(["ctest", "--test-dir", BUILD, "--show-only=json-v1"],
                             capture_output=True, text=True, check=True).stdout
    return [t["name"].split()[0] for t in json.loads(listing)["tests"]]


def statement(lines, at):
    """The text after line `at`, roff and markup stripped, up to 90 characters."""
    words = []
    for line in lines[at + 1:]:
        if any(p.match(line) for p in DOCS.values()) or not line.strip() or re.match(
                r'\.(SH|SS|TP|PP|EX|EE)\b|\.\\" untested:|<!-- untested:', line):
            break
        if line.startswith('.\\"'):
            continue
        text = re.sub(r"^\.[A-Z]{1,2}\b ?|\\f[BIRP]|\\-|\\\(dq|[*`]", "", line)
        words += text.replace("\\", "").split()
        if len(" ".join(words)) > 90:
            break
    text = " ".join(words)
    return text if len(text) <= 90 else text[:87] + "..."


def unheld(item, tests, faults):
    """Why `item` holds nothing, or None."""
    kind, _, what = item.partition(" ")
    if kind == "test":
        if not any(fnmatch.fnmatchcase(t, what) for t in tests):
            return f"no test is named {what}"
    elif kind == "fault":
        if what not in faults:
            return f"tests/faults.txt has no fault {what}"
    elif kind == "run":
        program = what.split()[0] if what else ""
        if "/" in program and not os.path.exists(os.path.join(ROOT, program)):
            return f"{program} does not exist"
    else:
        return f"'{item}' is not test, fault or run"
    return None


def cited_pages(text):
    """The manual pages that roff text cites, as name(section)."""
    return set(re.findall(r"\\fB([\w.@-]+)\\fR\((\d)\)", text)) | set(
        re.findall(r"^\.BR (\S+) \((\d)\)", text, re.M))


def main():
    tests = test_names()
    faults = {f.name for f in read_table()}
    problems = []
    for doc, held in DOCS.items():
        with open(os.path.join(ROOT, doc)) as f:
            lines = f.read().split("\n")
        for at, line in enumerate(lines):
            m = held.match(line)
            for item in m[1].split(", ") if m else ():
                why = unheld(item.strip(), tests, faults)
                if why:
                    problems.append(f"{doc}:{at + 1}: {why}, so nothing holds "
                                    f"\"{statement(lines, at)}\"")
    with open(os.path.join(ROOT, "man", "sockrelay.1.in")) as f:
        body, _, see_also = f.read().partition(".SH SEE ALSO")
    missing = sorted(cited_pages(body) - cited_pages(see_also))
    if missing:
        problems.append("man/sockrelay.1.in: SEE ALSO lacks "
                        + ", ".join(f"{name}({section})" for name, section in missing))
    for p in problems:
        print(f"claims: {p}", file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
