#!/usr/bin/env python3
"""Mutation run: do the tests notice when the program is wrong?

  tests/mutation/run_mutants.py [--workers N] [--jobs N] [--seeds N] [NAME ...]

Each mutant of tests/mutation/mutants.txt (a small, plausible mistake) is
applied alone to a scratch copy of the tree, the release host build is
brought up to date, and the test suite runs against it with fail-fast; a
mutant marked "threads: yes" that the suite lets through also meets the
explorer's seeds beyond the suite's own. The working tree is never touched:
every worker keeps its own copy and build under build/mutation/wN and puts
the mutated file back after each mutant.

Outcomes: killed (by the first failing test or seed, a crash, or a second
time-out: what outruns its limit is tried once more at the end, alone);
survived; equivalent (marked so, and nothing noticed it); broken (the text is
not in its file exactly once, or the mutant does not build).

Exit status: 0 when every mutant is killed or rightly marked equivalent; 1
when one survived unmarked, one marked equivalent was killed, or one is
broken; 2 when the unmutated tree does not build or pass.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
MUTANTS_FILE = Path(__file__).resolve().parent / "mutants.txt"
SCRATCH = REPO / "build" / "mutation"
# Top-level entries of the repository that the scratch copies leave out.
NOT_COPIED = {".git", "build", "artifacts"}
TARGETS = ["uf_tests", "explore"]
# The suite runs explorer seeds 1-200 itself; threading mutants meet more.
FIRST_EXTRA_SEED = 201


@dataclasses.dataclass
class Mutant:
    name: str
    file: str = ""
    why: str = ""
    threads: bool = False
    equivalent: str = ""
    find: str | None = None
    replace: str | None = None

    @property
    def area(self) -> str:
        return self.name.split("-", 1)[0]


@dataclasses.dataclass
class Outcome:
    mutant: Mutant
    verdict: str  # killed, survived, equivalent, broken, wrongly-equivalent, timed-out
    detail: str = ""
    seconds: float = 0.0


# ---------------------------------------------------------------- mutants file


def parse_mutants(text: str) -> list[Mutant]:
    """Reads the entries of the mutants file (format in its header)."""
    mutants: list[Mutant] = []
    current: Mutant | None = None
    block: str | None = None  # "find" or "replace" while its lines follow
    block_lines: list[str] = []

    def close_block() -> None:
        nonlocal block, block_lines
        if block is not None and current is not None:
            setattr(current, block, "\n".join(block_lines))
        block, block_lines = None, []

    for number, raw in enumerate(text.splitlines(), start=1):
        if block is not None and raw.startswith("|"):
            block_lines.append(raw[1:])
            continue
        close_block()
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = Mutant(name=line[1:-1].strip())
            mutants.append(current)
            continue
        key, sep, value = raw.partition(":")
        if current is None or not sep:
            raise ValueError(f"{MUTANTS_FILE.name}:{number}: unexpected line: {raw}")
        key, value = key.strip(), value[1:] if value.startswith(" ") else value
        if key in ("find", "replace"):
            if value.strip():
                setattr(current, key, value)
            else:
                block, block_lines = key, []
        elif key in ("file", "why", "equivalent"):
            setattr(current, key, value.strip())
        elif key == "threads":
            current.threads = value.strip() == "yes"
        else:
            raise ValueError(f"{MUTANTS_FILE.name}:{number}: unknown key {key!r}")
    close_block()
    for m in mutants:
        if m.replace is None:
            m.replace = ""  # "replace:" with nothing after it: the text goes
    return mutants


def check_mutant(m: Mutant, names_seen: set[str]) -> str:
    """What is wrong with an entry, or "" when it can be applied."""
    if m.name in names_seen:
        return "a second mutant has this name"
    if not m.file or not m.why or not m.find:
        return "needs file, why and find"
    if m.find == m.replace:
        return "replaces its text with the same text"
    path = REPO / m.file
    if not path.is_file():
        return f"{m.file} does not exist"
    count = path.read_text().count(m.find)
    if count != 1:
        return f"its text occurs {count} times in {m.file}, not once"
    return ""


# ------------------------------------------------------------- scratch trees


def run(cmd: list[str], cwd: Path, timeout: float | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace", timeout=timeout)


def sync_tree(source: Path, dest: Path) -> None:
    """Makes dest a copy of source, rewriting only the files that differ, so
    that the build in the copy stays incremental."""
    wanted: set[Path] = set()
    for dirpath, dirnames, filenames in os.walk(source):
        rel_dir = Path(dirpath).relative_to(source)
        if rel_dir == Path("."):
            dirnames[:] = [d for d in dirnames if d not in NOT_COPIED]
        dirnames[:] = [d for d in dirnames if d != "__pycache__"]
        (dest / rel_dir).mkdir(parents=True, exist_ok=True)
        for name in filenames:
            if rel_dir == Path(".") and name in NOT_COPIED:
                continue
            rel = rel_dir / name
            wanted.add(rel)
            src, dst = source / rel, dest / rel
            if not dst.is_file() or dst.read_bytes() != src.read_bytes():
                shutil.copyfile(src, dst)
                shutil.copymode(src, dst)
    for dirpath, _, filenames in os.walk(dest):
        for name in filenames:
            rel = Path(dirpath, name).relative_to(dest)
            if rel not in wanted:
                (dest / rel).unlink()


class Worker:
    """One scratch copy of the tree with its own release build."""

    def __init__(self, index: int, jobs: int):
        self.root = SCRATCH / f"w{index}"
        self.src = self.root / "src"
        self.build = self.root / "build"
        self.jobs = jobs

    def prepare(self) -> str:
        """Copies the tree and builds it; returns the error, or ""."""
        sync_tree(REPO, self.src)
        cache = self.build / "CMakeCache.txt"
        if cache.is_file() and f"CMAKE_HOME_DIRECTORY:INTERNAL={self.src}\n" not in cache.read_text():
            shutil.rmtree(self.build)  # configured for a copy elsewhere (the tree has moved)
        # At -O1 the tests and seeds run as fast as at -O3, and a tree builds
        # in about 30% less time.
        configure = run(["cmake", "-S", str(self.src), "-B", str(self.build), "-G", "Unix Makefiles",
                         "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG",
                         "-DUF_SANITIZE="], self.root)
        if configure.returncode != 0:
            return configure.stdout[-3000:]
        built = self.compile()
        return "" if built.returncode == 0 else built.stdout[-3000:]

    def compile(self) -> subprocess.CompletedProcess:
        return run(["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target", *TARGETS],
                   self.root)

    def run_suite(self, timeout: float) -> tuple[bool, str]:
        """Runs the suite, stopping at its first failure; (passed, the failing test)."""
        cmd = [str(self.build / "tests" / "uf_tests"), "--gtest_brief=1", "--gtest_fail_fast"]
        # "[  FAILED  ] Suite.Test (5 ms)", or "... Suite.Test/3, where GetParam() = ..."
        return run_check(cmd, self.build / "tests", timeout, r"^\[  FAILED  \] (\S+\.[^\s,]+)", "{}")

    def run_seeds(self, seeds: int, timeout: float) -> tuple[bool, str]:
        """Runs the explorer's extra seeds; (passed, the failing seed)."""
        if seeds <= 0:
            return True, ""
        cmd = [str(self.build / "explore"), "--from", str(FIRST_EXTRA_SEED), "--count", str(seeds)]
        return run_check(cmd, self.build, timeout, r"^explore: seed (\d+) failed",
                         "explorer seed {}")


class TimedOut(Exception):
    """A test program outran its time limit: a hang, or a machine too busy."""


def run_check(cmd: list[str], cwd: Path, timeout: float, failure: str,
              label: str) -> tuple[bool, str]:
    """Runs a test program; (passed, what failed: the first match of the
    pattern `failure` put into `label`, else a crash). Raises TimedOut."""
    program = Path(cmd[0]).name
    try:
        result = run(cmd, cwd, timeout)
    except subprocess.TimeoutExpired:
        raise TimedOut(f"{program} timed out after {timeout:.0f} s") from None
    if result.returncode == 0:
        return True, ""
    found = re.search(failure, result.stdout, re.MULTILINE)
    if found:
        return False, label.format(found.group(1))
    if result.returncode < 0:
        return False, f"{program} crashed (signal {-result.returncode})"
    return False, f"{program} failed (exit status {result.returncode})"


# --------------------------------------------------------------------- a run


@dataclasses.dataclass
class Limits:
    suite_timeout: float
    seeds: int
    seeds_timeout: float


def try_mutant(worker: Worker, m: Mutant, limits: Limits) -> Outcome:
    start = time.monotonic()
    path = worker.src / m.file
    original = path.read_text()
    try:
        path.write_text(original.replace(m.find, m.replace, 1))
        built = worker.compile()
        if built.returncode != 0:
            errors = [line for line in built.stdout.splitlines() if "error" in line]
            verdict, detail = "broken", "does not build: " + (errors[0] if errors else "?")
        else:
            passed, detail = worker.run_suite(limits.suite_timeout)
            if passed and m.threads:
                passed, detail = worker.run_seeds(limits.seeds, limits.seeds_timeout)
            if passed:
                verdict = "equivalent" if m.equivalent else "survived"
            else:
                verdict = "wrongly-equivalent" if m.equivalent else "killed"
    except TimedOut as timed_out:
        verdict, detail = "timed-out", str(timed_out)
    finally:
        path.write_text(original)
    return Outcome(m, verdict, detail, time.monotonic() - start)


def print_outcome(o: Outcome, done: int, total: int) -> None:
    label = {"killed": "killed", "survived": "SURVIVED", "equivalent": "equivalent",
             "broken": "BROKEN", "wrongly-equivalent": "KILLED, marked equivalent"}[o.verdict]
    detail = f"  {o.detail}" if o.detail else ""
    print(f"[{done:3}/{total}] {label:<10} {o.mutant.name}{detail} ({o.seconds:.1f} s)", flush=True)


def stop_setup(message: str) -> None:
    """Ends the run: without a sound unmutated tree no mutant can be judged."""
    print(f"run_mutants: {message}", file=sys.stderr)
    sys.exit(2)


def prepare_workers(workers: list[Worker]) -> None:
    errors: list[str] = [""] * len(workers)

    def prepare(i: int) -> None:
        errors[i] = workers[i].prepare()

    threads = [threading.Thread(target=prepare, args=(i,)) for i in range(len(workers))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for worker, error in zip(workers, errors):
        if error:
            stop_setup(f"the unmutated tree in {worker.root} does not build:\n{error}")


def baseline(worker: Worker, seeds: int) -> Limits:
    """Runs the unmutated tree; its times set the time-outs."""
    start = time.monotonic()
    try:
        passed, detail = worker.run_suite(600)
        suite_seconds = time.monotonic() - start
        if not passed:
            stop_setup(f"the unmutated tree fails its tests: {detail}")
        start = time.monotonic()
        passed, detail = worker.run_seeds(seeds, 600)
        seeds_seconds = time.monotonic() - start
        if not passed:
            stop_setup(f"the unmutated tree fails the explorer: {detail}")
    except TimedOut as timed_out:
        stop_setup(f"the unmutated tree: {timed_out}")
    return Limits(max(60.0, 10 * suite_seconds), seeds, max(60.0, 10 * seeds_seconds))


def summarise(outcomes: list[Outcome], seconds: float) -> int:
    by_verdict: dict[str, list[Outcome]] = {}
    for o in outcomes:
        by_verdict.setdefault(o.verdict, []).append(o)
    killed = len(by_verdict.get("killed", []))
    survivors = by_verdict.get("survived", [])
    judged = killed + len(survivors)
    areas: dict[str, int] = {}
    for o in outcomes:
        areas[o.mutant.area] = areas.get(o.mutant.area, 0) + 1
    print()
    print("mutants per area: " + ", ".join(f"{a} {n}" for a, n in areas.items()))
    for verdict, title in (("survived", "survivors"), ("broken", "broken mutants"),
                           ("wrongly-equivalent", "marked equivalent, but killed"),
                           ("equivalent", "equivalent (marked)")):
        if by_verdict.get(verdict):
            print(f"{title}:")
            for o in by_verdict[verdict]:
                reason = o.detail or o.mutant.equivalent
                print(f"  {o.mutant.name} ({o.mutant.file}): {o.mutant.why}"
                      + (f" -- {reason}" if reason and verdict != "survived" else ""))
    ratio = f"{100.0 * killed / judged:.1f}%" if judged else "n/a"
    print(f"killed {killed} of {judged} mutants not marked equivalent ({ratio}); "
          f"{len(by_verdict.get('equivalent', []))} equivalent, "
          f"{len(by_verdict.get('broken', []))} broken; {len(outcomes)} in all")
    print(f"mutation run took {seconds:.0f} s")
    failed = survivors or by_verdict.get("broken") or by_verdict.get("wrongly-equivalent")
    return 1 if failed else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="run only these mutants")
    parser.add_argument("--workers", type=int, default=4, help="scratch trees in parallel")
    parser.add_argument("--jobs", type=int, default=min(8, os.cpu_count() or 1),
                        help="compile jobs shared by the workers")
    parser.add_argument("--seeds", type=int, default=2000,
                        help="extra explorer seeds for threading mutants")
    args = parser.parse_args()
    started = time.monotonic()

    mutants = parse_mutants(MUTANTS_FILE.read_text())
    if args.names:
        unknown = set(args.names) - {m.name for m in mutants}
        if unknown:
            print(f"run_mutants: no such mutant: {', '.join(sorted(unknown))}", file=sys.stderr)
            return 2
        mutants = [m for m in mutants if m.name in args.names]

    outcomes: list[Outcome] = []
    runnable: list[Mutant] = []
    seen: set[str] = set()
    for m in mutants:
        problem = check_mutant(m, seen)
        seen.add(m.name)
        if problem:
            outcomes.append(Outcome(m, "broken", problem))
        else:
            runnable.append(m)
    total = len(mutants)
    for i, o in enumerate(outcomes, start=1):
        print_outcome(o, i, total)

    if not runnable:
        return summarise(outcomes, time.monotonic() - started)
    count = max(1, min(args.workers, len(runnable)))
    workers = [Worker(i, max(1, args.jobs // count)) for i in range(count)]
    print(f"preparing {count} release trees under {SCRATCH.relative_to(REPO)} ...", flush=True)
    prepare_workers(workers)
    limits = baseline(workers[0], args.seeds)
    print(f"trees ready after {time.monotonic() - started:.0f} s; "
          f"{len(runnable)} mutants to run", flush=True)

    # Threading mutants take longest (they also meet the seeds): start them first.
    todo: queue.Queue[Mutant] = queue.Queue()
    for m in sorted(runnable, key=lambda m: not m.threads):
        todo.put(m)
    timed_out: list[Mutant] = []
    lock = threading.Lock()

    def work(worker: Worker) -> None:
        while True:
            try:
                m = todo.get_nowait()
            except queue.Empty:
                return
            o = try_mutant(worker, m, limits)
            with lock:
                if o.verdict == "timed-out":
                    timed_out.append(m)
                    print(f"          {m.name}: {o.detail}; tried again at the end", flush=True)
                else:
                    outcomes.append(o)
                    print_outcome(o, len(outcomes), total)

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

    # A busy machine can stretch a run past its limit; what outran it gets one
    # more try, alone and with five times the time. A second time-out kills.
    patient = Limits(5 * limits.suite_timeout, limits.seeds, 5 * limits.seeds_timeout)
    for m in timed_out:
        o = try_mutant(workers[0], m, patient)
        if o.verdict == "timed-out":
            o.verdict = "wrongly-equivalent" if m.equivalent else "killed"
        outcomes.append(o)
        print_outcome(o, len(outcomes), total)

    order = {m.name: i for i, m in enumerate(mutants)}
    outcomes.sort(key=lambda o: order[o.mutant.name])
    return summarise(outcomes, time.monotonic() - started)


if __name__ == "__main__":
    sys.exit(main())
