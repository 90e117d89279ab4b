# SPDX-License-Identifier: MIT
"""Checks that the tests catch the mistakes this program can really make.

    scripts/faults [--soak-seconds 4] [--seed 1] [--jobs N] [NAME...]
    scripts/faults --check

Each fault in tests/faults.txt is one deliberate mistake: a name, the
behaviour it breaks, and the text of src/main.cpp that it replaces, found
with white space matched loosely. Everything is built and run in a scratch
copy of the tree, never in the work tree.

--check only applies every fault to the text of src/main.cpp, with no build
and no test, and names each fault whose anchors no longer occur there
exactly once: a change of main.cpp that breaks one fixes its row too.

First the clean run: the unmodified sockrelay must pass the whole behaviour
suite (the CTest label behaviour) and a soak of --soak-seconds. If anything
fails there, one line names it and the exit status is 2, with no fault
tried: a tree that fails by itself would make every fault look caught.

The clean run's times set the cut-offs for the faults: a test is killed,
with everything it started, at 3 times its clean time plus 1 s, and a soak
run at 3 times the slowest clean soak run plus 1 s. That margin covers a
machine busier than it was for the clean run; a fault whose program never
ends costs about a second a test instead of the suite's own deadlines.

Then sockrelay is built with each fault in turn, and the suite and the same
soak (same seed, same length) run against it. One line per fault gives the
seconds it took and names every test that caught it, by failing or by
being cut off, or says MISSED. The last line reads "N faults, M caught in
S s", S counting the clean run; the exit status is 1 if any fault was
missed, did not apply or did not build, or if a build ran past its deadline.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from relaykit import ROOT

TABLE = os.path.join(ROOT, "tests", "faults.txt")
PROGRAM = os.path.join("src", "main.cpp")
DEADLINE = 600  # seconds a build or a soak may take
FACTOR, SLACK = 3, 1.0  # a cut-off is FACTOR times the clean time plus SLACK seconds


@dataclass
class Fault:
    name: str
    breaks: str    # the behaviour it breaks
    changes: list  # [(lines to find, lines to put there)]


def read_table(path=TABLE):
    faults, current = [], None
    with open(path) as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip():
                current = None
            if line.startswith("#") or not line.strip():
                continue
            sign, text = line[:1], line[2:]
            if sign in "-+" and line[1:2] in ("", " "):
                if current is None:
                    sys.exit(f"faults: {path}:{number}: a change outside a fault")
                changes = current.changes
                if sign == "-" and (not changes or changes[-1][1]):
                    changes.append(([], []))
                elif not changes:
                    sys.exit(f"faults: {path}:{number}: a '+' line before any '-' line")
                changes[-1][0 if sign == "-" else 1].append(text)
                continue
            name, colon, breaks = line.partition(": ")
            if not colon or " " in name:
                sys.exit(f"faults: {path}:{number}: expected 'NAME: the behaviour it breaks'")
            current = Fault(name, breaks.strip(), [])
            faults.append(current)
    return faults


def loosely(lines):
    """A pattern for `lines` in which any run of white space matches any other."""
    return re.compile(r"\s+".join(map(re.escape, " ".join(lines).split())))


def apply(fault, text):
    """(the text with the fault's changes made, [what did not match once])."""
    problems = []
    for k, (find, put) in enumerate(fault.changes, 1):
        found = list(loosely(find).finditer(text))
        if len(found) != 1:
            problems.append(f"anchor {k} ({' '.join(' '.join(find).split())}) occurs "
                            f"{len(found)} times")
            continue
        m = found[0]
        line_start = text.rfind("\n", 0, m.start()) + 1
        indent = text[line_start:m.start()] if not text[line_start:m.start()].strip() else ""
        text = text[:m.start()] + ("\n" + indent).join(put) + text[m.end():]
    return text, problems


def check(faults, text):
    """Applies every fault to `text`; names each one that does not apply."""
    broken = 0
    for fault in faults:
        changed, problems = apply(fault, text)
        if not problems and changed == text:
            problems = ["it changes nothing"]
        for p in problems:
            print(f"faults: {fault.name}: {p} in {PROGRAM}", file=sys.stderr)
        broken += bool(problems)
    if broken:
        print(f"faults: {broken} of {len(faults)} faults no longer apply to {PROGRAM}; "
              "mend their rows in tests/faults.txt", file=sys.stderr)
        return 1
    print(f"{len(faults)} faults, each anchor found once in {PROGRAM}")
    return 0


def sh(*argv, **kw):
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=DEADLINE, **kw)
    except subprocess.TimeoutExpired:
        sys.exit(f"faults: {' '.join(argv[:3])} still running after {DEADLINE} s")


@dataclass
class Test:
    name: str
    argv: list
    cwd: str
    env: dict
    timeout: float  # CTest's TIMEOUT, the cut-off for the clean run


@dataclass
class Result:
    passed: bool
    seconds: float
    cut_off: bool


def listed(build, tmp):
    """The behaviour tests as CTest would run them, in its order."""
    r = sh("ctest", "--test-dir", build, "-L", "behaviour", "--show-only=json-v1", check=True)
    tests = []
    for t in json.loads(r.stdout)["tests"]:
        props = {p["name"]: p["value"] for p in t.get("properties", ())}
        env = dict(os.environ, TMPDIR=tmp)
        env.update(e.split("=", 1) for e in props.get("ENVIRONMENT", ()))
        tests.append(Test(t["name"].split()[0], t["command"], props.get("WORKING_DIRECTORY"),
                          env, props.get("TIMEOUT", 1500)))
    return tests


def run_test(test, cutoff):
    start = time.monotonic()
    p = subprocess.Popen(test.argv, cwd=test.cwd, env=test.env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)
    try:
        code = p.wait(cutoff)
    except subprocess.TimeoutExpired:
        code = None
    try:  # the test's own sockrelays are in its group: none outlives it
        os.killpg(p.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    p.wait()
    return Result(code == 0, time.monotonic() - start, code is None)


def suite(tests, cutoffs, jobs):
    """{test name: Result}, in the tests' order; the longest cut-offs start
    first, so that no long test is left to run alone at the end."""
    order = sorted(tests, key=lambda t: -cutoffs[t.name])
    with ThreadPoolExecutor(jobs) as pool:
        done = dict(zip((t.name for t in order),
                        pool.map(lambda t: run_test(t, cutoffs[t.name]), order)))
    return {t.name: done[t.name] for t in tests}


@dataclass
class Soak:
    failed: int
    runs: int
    families: list  # those with a failed run
    slowest: float  # seconds of the longest run


def soak(build, tmp, seconds, seed, deadline=None):
    """The soak, each run cut off at `deadline` seconds, or at the soak's own."""
    cut = ["--deadline", f"{deadline:.2f}"] if deadline else []
    r = sh(os.path.join(ROOT, "scripts", "soak"), "--seconds", str(seconds), "--seed", str(seed),
           *cut, env=dict(os.environ, SOCKRELAY_BUILD=build, TMPDIR=tmp))
    counts = re.search(r"^(\d+) passed, (\d+) failed$", r.stdout, re.M)
    slowest = re.search(r"slowest run ([\d.]+) s", r.stdout)
    if not counts or not slowest:
        sys.exit(f"faults: the soak did not finish:\n{r.stdout}{r.stderr}")
    families = sorted(set(re.findall(r"^FAIL run \d+ (\w+):", r.stdout, re.M)))
    return Soak(int(counts[2]), int(counts[1]) + int(counts[2]), families, float(slowest[1]))


def named(names):
    """The names, with the cases of one parameterised test gathered: T/{a, b}."""
    groups = {}
    for n in names:
        head, slash, case = n.rpartition("/")
        groups.setdefault(head + slash if head else n, []).append(case if head else "")
    return ", ".join(h + (c[0] if len(c) == 1 else "{" + ", ".join(c) + "}")
                     for h, c in groups.items())


def failures(results, runs):
    """What failed, as "suite (...) and soak (...)", or "" if nothing did."""
    failed = [n for n, r in results.items() if not r.passed and not r.cut_off]
    cut = [n for n, r in results.items() if r.cut_off]
    kinds = [f"{label}: {named(names)}"
             for label, names in (("failed", failed), ("cut off", cut)) if names]
    parts = [f"suite ({'; '.join(kinds)})"] if kinds else []
    if runs.failed:
        parts.append(f"soak ({runs.failed} of {runs.runs} runs: {', '.join(runs.families)})")
    return " and ".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--soak-seconds", type=float, default=4)
    parser.add_argument("--seed", type=int, default=1, help="the soak's seed")
    # Most tests wait in poll rather than compute.
    parser.add_argument("--jobs", type=int, default=2 * os.cpu_count(),
                        help="tests run at once (default: twice the cores)")
    parser.add_argument("--check", action="store_true",
                        help="only check that every fault still applies, then stop")
    parser.add_argument("names", nargs="*", help="only these faults")
    args = parser.parse_args()
    began = time.monotonic()
    faults = read_table()
    if args.check:
        with open(os.path.join(ROOT, PROGRAM)) as f:
            sys.exit(check(faults, f.read()))
    unknown = set(args.names) - {f.name for f in faults}
    if unknown:
        sys.exit(f"faults: no such fault: {', '.join(sorted(unknown))}")
    if args.names:
        faults = [f for f in faults if f.name in args.names]

    with tempfile.TemporaryDirectory(prefix="sockrelay-faults-") as scratch:
        # TMPDIR for the tests and the soak: what a killed test leaves goes with the scratch.
        tree, build, tmp = (os.path.join(scratch, d) for d in ("tree", "build", "tmp"))
        os.mkdir(tree)
        os.mkdir(tmp)
        sh("sh", "-c", 'git ls-files -z | xargs -0 cp --parents -t "$0"', tree, cwd=ROOT,
           check=True)
        if (sh("cmake", "-S", tree, "-B", build, "-DBUILD_TESTING=ON").returncode != 0
                or sh("cmake", "--build", build, "-j", str(os.cpu_count())).returncode != 0):
            print("faults: the unmodified tree does not build; no fault was tried")
            sys.exit(2)
        program = os.path.join(tree, PROGRAM)
        with open(program) as f:
            pristine = f.read()

        tests = listed(build, tmp)
        clean = suite(tests, {t.name: t.timeout for t in tests}, args.jobs)
        clean_soak = soak(build, tmp, args.soak_seconds, args.seed)
        broken = failures(clean, clean_soak)
        if broken:
            print(f"faults: the unmodified tree fails {broken}; no fault was tried")
            sys.exit(2)
        cutoffs = {n: FACTOR * r.seconds + SLACK for n, r in clean.items()}
        run_cutoff = FACTOR * clean_soak.slowest + SLACK
        print(f"clean run: {len(tests)} tests and {clean_soak.runs} soak runs passed in "
              f"{time.monotonic() - began:.0f} s; each test is cut off at {FACTOR} times its "
              f"clean time + {SLACK:g} s, each soak run at {run_cutoff:.1f} s", flush=True)

        caught = unbuilt = 0
        for fault in faults:
            start = time.monotonic()
            changed, problems = apply(fault, pristine)
            with open(program, "w") as f:
                f.write(changed)
            made = not problems and sh(
                "cmake", "--build", build, "--target", "sockrelay").returncode == 0
            if not made:
                unbuilt += 1
                print(f"{fault.name:<30} DOES NOT {'APPLY' if problems else 'BUILD'}"
                      f" ({'; '.join(problems) or fault.breaks})", flush=True)
                continue
            by = failures(suite(tests, cutoffs, args.jobs),
                          soak(build, tmp, args.soak_seconds, args.seed, run_cutoff))
            caught += bool(by)
            seconds = time.monotonic() - start
            print(f"{fault.name:<30} {'caught' if by else 'MISSED'} in {seconds:.0f} s"
                  f"{' by ' + by if by else ''} ({fault.breaks})", flush=True)

    print(f"{len(faults)} faults, {caught} caught in {time.monotonic() - began:.0f} s")
    sys.exit(0 if caught == len(faults) and not unbuilt else 1)


if __name__ == "__main__":
    main()
