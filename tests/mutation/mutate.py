#!/usr/bin/env python3
"""Plants realistic faults in the program, one at a time, and tells which the tests catch.

Run by hand (it is not part of CI), from anywhere:

    tests/mutation/mutate.py                 every fault in mutants.tsv
    tests/mutation/mutate.py fastzap/Psi     only those in files whose path contains this
    tests/mutation/mutate.py --check         only checks that every fault can be planted

The faults are lines of mutants.tsv: a file, a snippet of it that occurs exactly once, what it
becomes, and why that is a fault someone could make. targets.tsv says, for each folder, which
test binaries exercise its files (and, optionally, which other tests).

The working tree (committed or not) is copied to a scratch folder ($CORVESSA_MUTATION_DIR,
/tmp/corvessa-mutation unless set), which keeps its build between runs, so only what a fault
touches is rebuilt; the working tree itself is never written to. The unchanged copy is built and
tested first: its tests must pass. Then, for each fault: plant it, build the binaries that
exercise its file, run their tests inside the private network namespace (scripts/in-netns.sh),
stopping at the first failure, with a time limit for the whole run ($CORVESSA_MUTATION_TIMEOUT
seconds, 600 unless set), and put the file back. A fault is caught when a test fails or the run
times out; a fault the build refuses is reported apart and not counted.

Each build and test run holds the lock file named by $CORVESSA_CPU_LOCK, if set (flock), so that
the machine's other users get their turn between faults.
"""

import contextlib
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
SCRATCH = Path(os.environ.get("CORVESSA_MUTATION_DIR", "/tmp/corvessa-mutation"))
TIMEOUT = int(os.environ.get("CORVESSA_MUTATION_TIMEOUT", "600"))
SKIP = {".git", "build", "build-asan", "__pycache__"}


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "t": "\t", "\\": "\\"}.get(text[i + 1], "\\" + text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def rows(name):
    for number, line in enumerate((HERE / name).read_text().splitlines(), 1):
        if line.strip() and not line.startswith("#"):
            yield number, line.split("\t")


def load():
    targets = {}
    for number, fields in rows("targets.tsv"):
        if len(fields) not in (2, 3):
            sys.exit(f"targets.tsv:{number}: want folder, targets[, extra tests]")
        targets[fields[0]] = (fields[1].split(), fields[2] if len(fields) == 3 else "")
    mutants = []
    for number, fields in rows("mutants.tsv"):
        if len(fields) != 4:
            sys.exit(f"mutants.tsv:{number}: want file, original, replacement, why (tabs)")
        path, original, replacement, why = fields
        folder = max((f for f in targets if path.startswith(f)), key=len, default=None)
        if folder is None:
            sys.exit(f"mutants.tsv:{number}: no line of targets.tsv covers {path}")
        mutants.append(dict(line=number, path=path, original=unescape(original),
                            replacement=unescape(replacement), why=why, folder=folder))
    return targets, mutants


def sync(source, target):
    """Copies the files whose content differs, and removes what is gone. A copied file is given
    the time of the copy (never its older original time), so that the build sees it as newer than
    anything built from a fault planted there before."""
    seen = set()
    for directory, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if d not in SKIP]
        for name in files:
            src = Path(directory, name)
            rel = src.relative_to(source)
            seen.add(rel)
            dst = target / rel
            if dst.is_file() and not dst.is_symlink() and dst.read_bytes() == src.read_bytes():
                continue
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst, follow_symlinks=False)
            shutil.copymode(src, dst)
    for directory, dirs, files in os.walk(target):
        dirs[:] = [d for d in dirs if d not in SKIP]
        for name in files:
            path = Path(directory, name)
            if path.relative_to(target) not in seen:
                path.unlink()


@contextlib.contextmanager
def cpu_lock():
    name = os.environ.get("CORVESSA_CPU_LOCK")
    if not name:
        yield
        return
    with open(name, "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def run(command, timeout=None, cwd=None):
    """Runs a command in a process group of its own; on time-out ends that group (only it).
    Returns (exit status or None when timed out, output)."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


def build(build_dir, targets):
    return run(["cmake", "--build", str(build_dir), "--target", *targets])


def tests_of(build_dir, targets, extra):
    """The CTest names of the tests that run one of `targets`, and of those matching `extra`."""
    status, output = run(["ctest", "--test-dir", str(build_dir), "--show-only=json-v1"])
    if status != 0:
        sys.exit("ctest cannot list the tests:\n" + output)
    names = []
    for test in json.loads(output)["tests"]:
        command = test.get("command") or [""]
        if Path(command[0]).name in targets or (extra and re.search(extra, test["name"])):
            names.append(test["name"])
    return names


def test(src, build_dir, names):
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    return run([str(src / "scripts" / "in-netns.sh"), "ctest", "--test-dir", str(build_dir),
                "-R", regex, "--stop-on-failure", "-j2", "--output-on-failure"], timeout=TIMEOUT)


def main(argv):
    check_only = "--check" in argv
    only = [a for a in argv if not a.startswith("--")]
    targets, mutants = load()
    if only:
        mutants = [m for m in mutants if any(o in m["path"] for o in only)]

    bad = []
    for m in mutants:
        text = (ROOT / m["path"]).read_text() if (ROOT / m["path"]).exists() else ""
        if text.count(m["original"]) != 1:
            bad.append(m)
            print(f"mutants.tsv:{m['line']}: the original occurs {text.count(m['original'])} "
                  f"times in {m['path']}")
    if bad or check_only:
        print(f"{len(mutants) - len(bad)} of {len(mutants)} faults can be planted")
        return 1 if bad else 0

    src, build_dir = SCRATCH / "src", SCRATCH / "build"
    src.mkdir(parents=True, exist_ok=True)
    sync(ROOT, src)
    if not (build_dir / "CMakeCache.txt").exists():
        launcher = ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"] if shutil.which("ccache") else []
        with cpu_lock():
            status, output = run(["cmake", "-S", str(src), "--preset", "default",
                                  "-B", str(build_dir), *launcher])
        if status != 0:
            sys.exit("configure failed:\n" + output)

    folders = sorted({m["folder"] for m in mutants})
    every = sorted({t for f in folders for t in targets[f][0]})
    print(f"Building and testing the unchanged copy ({' '.join(every)})", flush=True)
    with cpu_lock():
        status, output = build(build_dir, every)
        if status != 0:
            sys.exit("the unchanged copy does not build:\n" + output[-5000:])
        names = {f: tests_of(build_dir, *targets[f]) for f in folders}
        status, output = test(src, build_dir, sorted({n for f in folders for n in names[f]}))
    if status != 0:
        sys.exit("the unchanged copy fails its tests:\n" + output[-5000:])

    results = defaultdict(list)
    for m in mutants:
        path = src / m["path"]
        original = path.read_text()
        path.write_text(original.replace(m["original"], m["replacement"], 1))
        started = time.monotonic()
        try:
            with cpu_lock():
                status, output = build(build_dir, targets[m["folder"]][0])
                if status != 0:
                    verdict = "no build"
                else:
                    status, output = test(src, build_dir, names[m["folder"]])
                    verdict = "caught" if status != 0 else "MISSED"
        finally:
            path.write_text(original)
        failed = re.findall(r"\d+ - (\S+) \(", output) if verdict == "caught" else []
        detail = (" by " + failed[0]) if failed else (" (timed out)" if status is None else "")
        print(f"{verdict:8} mutants.tsv:{m['line']:<4} {m['path']}: {m['why']}"
              f"{detail} [{time.monotonic() - started:.0f} s]", flush=True)
        results[m["folder"]].append(verdict)

    print()
    total_caught = total = 0
    for folder in folders:
        verdicts = results[folder]
        caught = verdicts.count("caught")
        counted = caught + verdicts.count("MISSED")
        total_caught += caught
        total += counted
        refused = verdicts.count("no build")
        print(f"{folder:12} {caught}/{counted} caught ({100 * caught / max(counted, 1):.0f} %)"
              + (f", {refused} did not build" if refused else ""))
    print(f"{'total':12} {total_caught}/{total} caught ({100 * total_caught / max(total, 1):.0f} %)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
