#!/usr/bin/env python3
"""Mutation testing for this repository: how many small faults does the suite catch?

Picks reproducible random mutants of the library and tool sources (relational and
logical operator flips, off-by-one constants, boolean flips, deleted call
statements), applies them one at a time to a copy of the working tree, rebuilds
incrementally, runs the whole suite and reports each mutant as killed (some test
failed or the suite hung), survived (every test passed) or uncompilable. The
score is the share of compilable mutants killed. See docs/mutation.md.
"""
import argparse
import json
import os
import random
import re
import signal
import shutil
import subprocess
import sys
import time

SOURCES = ("cmn", "pc", "fastmem", "platform/posix", "tool")
SWAPS = [
    ("rel", " <= ", " < "), ("rel", " < ", " <= "), ("rel", " >= ", " > "), ("rel", " > ", " >= "),
    ("rel", " == ", " != "), ("rel", " != ", " == "),
    ("logic", " && ", " || "), ("logic", " || ", " && "),
]
BOOLEANS = re.compile(r"\b(true|false)\b")
INTEGER = re.compile(r"(?<![\w.])(\d+)([uUlL]*)(?![\w.])")
CALL = re.compile(r"^(\s*)((?:[A-Za-z_]\w*(?:::|\.|->))*([A-Za-z_]\w*))\s*\(.*\);\s*$")
NOT_CALLS = {"return", "if", "while", "for", "switch", "sizeof", "delete", "throw", "case", "static_assert"}


def masked_lines(text):
    """The lines with comments, strings and character literals blanked, same lengths."""
    out, in_block = [], False
    for line in text.split("\n"):
        chars, i = list(line), 0
        while i < len(chars):
            if in_block:
                end = line.find("*/", i)
                stop = len(chars) if end < 0 else end + 2
                chars[i:stop] = " " * (stop - i)
                in_block, i = end < 0, stop
            elif line.startswith("//", i):
                chars[i:] = " " * (len(chars) - i)
                break
            elif line.startswith("/*", i):
                in_block = True
            elif chars[i] in "\"'":
                quote, j = chars[i], i + 1
                while j < len(chars) and chars[j] != quote:
                    j += 2 if chars[j] == "\\" else 1
                chars[i + 1:min(j, len(chars))] = "x" * (min(j, len(chars)) - i - 1)
                i = j + 1
            else:
                i += 1
        out.append("".join(chars))
    return out


def sites_in(path, text):
    """Every mutant one file offers, as (path, line, column, kind, old, new)."""
    sites = []
    for number, line in enumerate(masked_lines(text), 1):
        code = line.strip()
        if not code or code.startswith("#") or "static_assert" in code:
            continue
        for kind, old, new in SWAPS:
            for match in re.finditer(re.escape(old), line):
                sites.append((path, number, match.start(), kind, old, new))
        for match in BOOLEANS.finditer(line):
            flipped = "false" if match.group(1) == "true" else "true"
            sites.append((path, number, match.start(), "bool", match.group(1), flipped))
        for match in INTEGER.finditer(line):
            value = int(match.group(1))
            sites.append((path, number, match.start(), "const", match.group(1), str(value - 1 if value else 1)))
        call = CALL.match(line)
        if call and call.group(3) not in NOT_CALLS and call.group(2) not in NOT_CALLS and balanced(code):
            sites.append((path, number, len(call.group(1)), "call", code, ";"))
    return sites


def balanced(code):
    depth = 0
    for c in code:
        depth += {"(": 1, ")": -1}.get(c, 0)
        if depth < 0:
            return False
    return depth == 0


def all_sites(root):
    sites = []
    for folder in SOURCES:
        for name in sorted(os.listdir(os.path.join(root, folder))):
            if name.endswith(".cpp"):
                path = os.path.join(folder, name)
                with open(os.path.join(root, path)) as f:
                    sites += sites_in(path, f.read())
    return sites


def apply(text, site):
    path, number, column, kind, old, new = site
    lines = text.split("\n")
    line = lines[number - 1]
    if kind == "call":
        lines[number - 1] = line[:column] + new
    else:
        assert line[column:column + len(old)] == old, site
        lines[number - 1] = line[:column] + new + line[column + len(old):]
    return "\n".join(lines)


def describe(site):
    path, number, column, kind, old, new = site
    if kind == "call":
        return "%s:%d call deleted: %s" % (path, number, old)
    return "%s:%d:%d %s '%s' -> '%s'" % (path, number, column + 1, kind, old.strip(), new.strip())


def sync_tree(root, work):
    """Copies the working tree (tracked and untracked, not ignored) into work, rewriting only changed files."""
    listed = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            check=True, capture_output=True).stdout.decode().split("\0")
    wanted = set(name for name in listed if name and os.path.isfile(os.path.join(root, name)))
    for name in wanted:
        with open(os.path.join(root, name), "rb") as f:
            data = f.read()
        target = os.path.join(work, name)
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, os.stat(os.path.join(root, name)).st_mode)
    for folder, _, names in os.walk(work):
        for name in names:
            relative = os.path.relpath(os.path.join(folder, name), work)
            if relative not in wanted:
                os.remove(os.path.join(folder, name))


def run(command, timeout):
    """Runs a command in a process group of its own, killing the whole group when it runs too long."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output = process.communicate(timeout=timeout)[0]
        return process.returncode, output.decode(errors="replace")
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return None, ""


def build(build_dir, jobs, targets=()):
    command = ["cmake", "--build", build_dir, "-j%d" % jobs]
    command += ["--target"] + list(targets) if targets else []
    return run(command, 1800)[0] == 0


def programs_of(build_dir, labels):
    """The test programs that the tests with these labels run (building only them keeps each mutant quick)."""
    listed = subprocess.run(["ctest", "--test-dir", build_dir, "-N", "-L", labels, "--show-only=json-v1"],
                            check=True, capture_output=True).stdout.decode()
    return sorted(set(os.path.basename(test["command"][0]) for test in json.loads(listed)["tests"]))


def suite(build_dir, jobs, labels, timeout, every):
    """None when every test passed, else the failing tests (all of them with every, else the first) or 'timeout'."""
    command = ["ctest", "--test-dir", build_dir, "-j%d" % jobs]
    command += [] if every else ["--stop-on-failure"]
    if labels:
        command += ["-L", labels]
    status, output = run(command, timeout)
    if status is None:
        return "timeout"
    if status == 0:
        return None
    failed = re.findall(r"^\s*\d+ - (\S+) \((?:Failed|SEGFAULT|Subprocess aborted|Exception|Timeout|Not Run)", output,
                        re.M)
    if not failed:
        return "exit status %d" % status
    return " ".join(sorted(failed)) if every else failed[0]


def clear_leftovers(folder, known):
    """Removes what a mutant's tests left in their working folder, so that it cannot fail the next mutant's run."""
    for name in set(os.listdir(folder)) - known:
        path = os.path.join(folder, name)
        if name.endswith(".cmake"):
            continue  # the test lists ctest makes as it runs
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.remove(path)


def report_killers(killed):
    """Per test: how many mutants it kills, and how many no other test kills (what removing it would lose)."""
    kills, alone = {}, {}
    for _, _, _, tests in killed:
        names = tests.split() if tests != "timeout" else []
        for name in names:
            kills[name] = kills.get(name, 0) + 1
            if len(names) == 1:
                alone[name] = alone.get(name, 0) + 1
    print("\ntests by mutants killed (alone: killed by no other test):")
    for name in sorted(kills, key=lambda n: (-alone.get(n, 0), -kills[n], n)):
        print("  %3d killed, %3d alone  %s" % (kills[name], alone.get(name, 0), name))


def main():
    parser = argparse.ArgumentParser(description="Mutation testing of the library and tool sources.")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--count", type=int, default=60, help="number of mutants (default 60)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--work", default="/tmp/vorl-mutate", help="copy of the tree and its build (kept between runs)")
    parser.add_argument("--labels", default="", help="only the test programs whose label matches (ctest -L)")
    parser.add_argument("--files", default="",
                        help="only mutation sites in source files whose path matches this regular expression")
    parser.add_argument("--only", default="", help="comma-separated mutant numbers to run (as listed)")
    parser.add_argument("--list", action="store_true", help="list the chosen mutants and stop")
    parser.add_argument("--every", action="store_true",
                        help="run the whole suite for each mutant and name every test that kills it (slower)")
    args = parser.parse_args()

    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True, capture_output=True,
                          cwd=os.path.dirname(os.path.abspath(__file__))).stdout.decode().strip()
    sites = [site for site in all_sites(root) if re.search(args.files, site[0])]
    chosen = sorted(random.Random(args.seed).sample(sites, min(args.count, len(sites))))
    print("%d mutation sites in %s; seed %d, %d mutants" % (len(sites), ", ".join(SOURCES), args.seed, len(chosen)))
    if args.list:
        for number, site in enumerate(chosen, 1):
            print("M%03d %s" % (number, describe(site)))
        return 0
    only = set(int(n) for n in args.only.split(",") if n)

    source_dir, build_dir = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    sync_tree(root, source_dir)
    configure = ["cmake", "-S", source_dir, "-B", build_dir, "-G", "Ninja", "-DVORL_BENCH=OFF"]
    if run(configure, 600)[0] != 0:
        sys.exit("mutate: the tree does not configure in %s" % build_dir)
    targets = programs_of(build_dir, args.labels) if args.labels else ()
    if not build(build_dir, args.jobs, targets):
        sys.exit("mutate: the unmutated tree does not build in %s" % build_dir)
    started = time.time()
    failure = suite(build_dir, args.jobs, args.labels, 1800, False)
    if failure:
        sys.exit("mutate: the unmutated suite fails (%s); fix that first" % failure)
    timeout = 4 * (time.time() - started) + 60
    print("unmutated suite passes in %.0f s; a mutant's suite is stopped after %.0f s" % (time.time() - started, timeout))

    # The tests run in the build's tests folder; a mutant may make them leave files there.
    tests_dir = os.path.join(build_dir, "tests")
    known = set(os.listdir(tests_dir))
    results = []
    for number, site in enumerate(chosen, 1):
        if only and number not in only:
            continue
        path = os.path.join(source_dir, site[0])
        with open(path) as f:
            original = f.read()
        began = time.time()
        try:
            with open(path, "w") as f:
                f.write(apply(original, site))
            if not build(build_dir, args.jobs, targets):
                outcome, detail = "uncompilable", ""
            else:
                failed = suite(build_dir, args.jobs, args.labels, timeout, args.every)
                outcome, detail = ("killed", failed) if failed else ("survived", "")
        finally:
            with open(path, "w") as f:
                f.write(original)
            clear_leftovers(tests_dir, known)
        results.append((number, site, outcome, detail))
        shown = detail.split()
        if len(shown) > 3:
            shown = shown[:3] + ["and %d more" % (len(shown) - 3)]
        print("M%03d %-12s %4.0fs  %s%s" % (number, outcome, time.time() - began, describe(site),
                                          "  [%s]" % " ".join(shown) if shown else ""), flush=True)

    build(build_dir, args.jobs, targets)
    compiled = [r for r in results if r[2] != "uncompilable"]
    killed = [r for r in compiled if r[2] == "killed"]
    print("\nmutants %d, uncompilable %d, killed %d, survived %d" %
          (len(results), len(results) - len(compiled), len(killed), len(compiled) - len(killed)))
    if compiled:
        print("score: %d of %d compilable mutants killed (%.1f%%)" %
              (len(killed), len(compiled), 100.0 * len(killed) / len(compiled)))
    if args.every:
        report_killers(killed)
    survivors = [r for r in compiled if r[2] == "survived"]
    if survivors:
        print("survivors:")
        for number, site, _, _ in survivors:
            print("  M%03d %s" % (number, describe(site)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
