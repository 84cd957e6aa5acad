#!/usr/bin/python3
"""Mutation sample of the product code against a selection of tests.

The tree is copied once to a work folder (default /tmp/mut-<name>) with a
build folder of its own, built once. Then, one mutant at a time: one line of
one source file is changed, the copy is built incrementally, the test stages
run in order until one fails, and the line is put back. A mutant is
"killed" (built, a test failed: the stage is named), "survived" (built, every
stage passed) or "unbuildable".

    /usr/bin/python3 tools/mutate.py --name wd --sample 'watchdog/*.cpp=30' \\
        --stage 'unit=^watchdog_tests\\.' --stage 'e2e=^e2e_(server|supervision)$@netns' \\
        --targets watchdog_tests REdodevaz net wdctl --out /tmp/wd.json

--sample FILES=N takes N mutants, drawn with --seed, from the comma-separated
globs FILES (source files the build compiles; a file claimed by an earlier
--sample is left out of later ones). --replay REPORT re-runs the mutants of an
earlier report instead. A stage ending in "@netns" runs inside a private
network namespace (unshare -n, loopback up); every stage runs in a pid
namespace with its own /proc, so no mutant can signal a process outside it.
Mutations: relational boundary
and equality swaps, a negated if/while condition, an integer literal +1 and
-1, && <-> ||, a deleted call or assignment, a flipped return value.
"""

import argparse
import glob
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

REL_SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
REL_RE = re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)")
LOGIC_RE = re.compile(r"(?<=\s)(&&|\|\|)(?=\s)")
INT_RE = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
INCDEC_RE = re.compile(r"(\+\+|--)")
COND_RE = re.compile(r"\b(if|while)\s*\(")
RETURN_RE = re.compile(r"^(\s*)return\s+(.+);\s*$")
SIGNATURE_RE = re.compile(r"^(?:static\s+|inline\s+|virtual\s+)*([\w:<>]+)\s*[\s*&]\s*[\w:~]+\(")
INT_TYPES = {"int", "unsigned", "long", "int32_t", "uint32_t", "int64_t", "uint64_t", "uint16_t",
             "std::size_t", "size_t", "ssize_t"}


def mask(line):
    """The code part of `line`: string and character literals blanked with
    '_' (same length, so columns match) and a trailing // comment cut."""
    out = []
    i = 0
    while i < len(line):
        c = line[i]
        if c in "\"'":
            j = i + 1
            while j < len(line) and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            out.append(c + "_" * (min(j, len(line)) - i - 1) + (c if j < len(line) else ""))
            i = j + 1
            continue
        if line.startswith("//", i):
            break
        out.append(c)
        i += 1
    return "".join(out)[:len(line)]


def matching_paren(code, open_at):
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def is_call_or_assignment(stmt):
    """A whole statement on one line that calls something or assigns to an
    existing lvalue (declarations are left alone: deleting one never builds)."""
    if re.match(r"^(return|break|continue|case|default|goto|throw)\b", stmt):
        return False
    assign = re.match(r"^([\w.\->\[\]*:]+)\s*(=|\+=|-=|\|=|&=|<<=|>>=)\s", stmt)
    if assign:
        return True
    if re.match(r"^(\+\+|--)[\w.\->\[\]]+;$", stmt) or re.match(r"^[\w.\->\[\]]+(\+\+|--);$", stmt):
        return True
    return bool(re.match(r"^[\w:.\->\[\]*!~]+\s*\(.*\);$", stmt))


def function_return_type(codes, index):
    for k in range(index, -1, -1):
        m = SIGNATURE_RE.match(codes[k])
        if m and not codes[k].startswith((" ", "\t")):
            return m.group(1)
    return None


def candidates(path, text):
    """Every mutant of one file: dicts with line (1-based), kind, col, original, mutated."""
    lines = text.split("\n")
    codes = []
    in_block = False
    for line in lines:
        code = mask(line)
        if in_block:
            in_block = "*/" not in code
            code = ""
        elif code.lstrip().startswith("/*"):
            in_block = "*/" not in code
            code = ""
        codes.append(code)
    found = []

    def add(index, kind, col, mutated):
        if mutated != lines[index]:
            found.append({"file": path, "line": index + 1, "kind": kind, "col": col,
                          "original": lines[index], "mutated": mutated})

    previous_end = "{"
    for i, (line, code) in enumerate(zip(lines, codes)):
        stripped = code.strip()
        if not stripped or stripped.startswith("#") or re.match(r"^(namespace|using|static_assert)\b", stripped):
            continue
        for m in REL_RE.finditer(code):
            op = m.group(1)
            add(i, "rel", m.start(), line[:m.start()] + REL_SWAP[op] + line[m.end():])
        for m in LOGIC_RE.finditer(code):
            op = "||" if m.group(1) == "&&" else "&&"
            add(i, "logic", m.start(), line[:m.start()] + op + line[m.end():])
        for m in COND_RE.finditer(code):
            open_at = m.end() - 1
            close_at = matching_paren(code, open_at)
            if close_at > open_at:
                inner = line[open_at + 1:close_at]
                add(i, "negate", m.start(), line[:open_at + 1] + "!(" + inner + ")" + line[close_at:])
        if not re.match(r"^(const\s+)?\w[\w:<>]*\s+[A-Z_][A-Z0-9_]*(\[\])?\s*=", stripped):
            # Named constants are left alone: their uses are mutated instead.
            for m in INT_RE.finditer(code):
                digits = m.group(1)
                value = int(digits, 0) if not re.match(r"0\d", digits) else int(digits, 8)
                for delta in (1, -1):
                    if value + delta < 0:
                        continue
                    text = ("0x%0*x" % (len(digits) - 2, value + delta) if digits[1:2] in "xX" and len(digits) > 1
                            else str(value + delta))
                    add(i, "int%+d" % delta, m.start(), line[:m.start()] + text + m.group(2) + line[m.end():])
        for m in INCDEC_RE.finditer(code):
            if not code.lstrip().startswith("for"):
                add(i, "incdec", m.start(),
                    line[:m.start()] + ("--" if m.group(1) == "++" else "++") + line[m.end():])
        ret = RETURN_RE.match(code)
        if ret:
            expr = line[len(ret.group(1)) + len("return"):].strip()[:-1].strip()
            rtype = function_return_type(codes, i)
            if expr in ("true", "false"):
                add(i, "return", 0, ret.group(1) + "return " + ("false" if expr == "true" else "true") + ";")
            elif rtype == "bool":
                add(i, "return", 0, ret.group(1) + "return !(" + expr + ");")
            elif rtype in INT_TYPES and not INT_RE.fullmatch(expr.lstrip("-")):
                add(i, "return", 0, ret.group(1) + "return 0;")
        starts_statement = previous_end in ("{", "}", ";", ":", ")") or previous_end.endswith("else")
        if stripped.endswith(";") and starts_statement and is_call_or_assignment(stripped):
            indent = line[:len(line) - len(line.lstrip())]
            add(i, "delete", 0, indent + ";")
        previous_end = stripped if stripped.endswith("else") else stripped[-1]
    return found


def sync(tree, work):
    """Makes `work` a copy of `tree` (without .git and build folders). Only
    files whose bytes differ are written, with a fresh time, so the next
    incremental build sees exactly what changed."""
    def skipped(rel):
        top = rel.split(os.sep)[0]
        return top in (".git", "mutation-logs") or top.startswith("build") or "__pycache__" in rel

    wanted = set()
    for root, dirs, files in os.walk(tree):
        rel_root = os.path.relpath(root, tree)
        dirs[:] = [d for d in dirs if not skipped(os.path.normpath(os.path.join(rel_root, d)))]
        for name in files:
            rel = os.path.normpath(os.path.join(rel_root, name))
            wanted.add(rel)
            src, dst = os.path.join(tree, rel), os.path.join(work, rel)
            with open(src, "rb") as f:
                data = f.read()
            try:
                with open(dst, "rb") as f:
                    if f.read() == data:
                        continue
            except OSError:
                os.makedirs(os.path.dirname(dst), exist_ok=True)
            with open(dst, "wb") as f:
                f.write(data)
            shutil.copymode(src, dst)
    for root, dirs, files in os.walk(work):
        rel_root = os.path.relpath(root, work)
        dirs[:] = [d for d in dirs if not skipped(os.path.normpath(os.path.join(rel_root, d)))]
        for name in files:
            rel = os.path.normpath(os.path.join(rel_root, name))
            if rel not in wanted:
                os.remove(os.path.join(work, rel))


def compiled_sources(build_dir):
    try:
        with open(os.path.join(build_dir, "compile_commands.json")) as f:
            return {os.path.realpath(e["file"]) for e in json.load(f)}
    except OSError:
        return None


def draw(tree, samples, seed, build_dir):
    """The mutants of every --sample FILES=N, drawn deterministically."""
    compiled = compiled_sources(build_dir)
    claimed = set()
    mutants = []
    for sample in samples:
        globs, _, count = sample.rpartition("=")
        files = []
        for pattern in globs.split(","):
            for path in sorted(glob.glob(os.path.join(tree, pattern))):
                rel = os.path.relpath(path, tree)
                if rel in claimed:
                    continue
                if path.endswith(".cpp") and compiled is not None and os.path.realpath(path) not in compiled:
                    continue
                claimed.add(rel)
                files.append(rel)
        pool = []
        for rel in files:
            with open(os.path.join(tree, rel)) as f:
                pool.extend(candidates(rel, f.read()))
        rng = random.Random("%s/%s" % (seed, globs))
        picked = rng.sample(pool, min(int(count), len(pool)))
        picked.sort(key=lambda m: (m["file"], m["line"], m["col"], m["kind"]))
        for m in picked:
            m["group"] = globs
        mutants.extend(picked)
    for n, m in enumerate(mutants):
        m["id"] = n
    return mutants


def run(cmd, cwd, timeout, log):
    """Runs `cmd` in a process group of its own; (exit code or None on
    timeout, seconds). Output goes to `log`."""
    started = time.monotonic()
    with open(log, "w") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            code = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            code = None
    return code, time.monotonic() - started


def stage_command(regex, netns, jobs):
    """Every stage runs in a pid namespace of its own with its own /proc: a
    mutant of code that finds and signals processes (a negated name match
    kills every process it may) reaches nothing outside the stage."""
    ctest = "ctest --stop-on-failure --output-on-failure -j %d -R %s" % (jobs, shlex_quote(regex))
    if netns:
        return ["unshare", "-n", "-p", "-f", "--mount-proc", "sh", "-c", "ip link set lo up && " + ctest]
    return ["unshare", "-p", "-f", "--mount-proc", "sh", "-c", ctest]


def shlex_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def failed_tests(log):
    names = []
    try:
        with open(log, errors="replace") as f:
            text = f.read()
    except OSError:
        return names
    tail = text.split("The following tests FAILED:")[-1] if "The following tests FAILED:" in text else ""
    for m in re.finditer(r"^\s*\d+ - (\S+) \((\w+)", tail, re.M):
        names.append("%s (%s)" % (m.group(1), m.group(2)))
    return names


def write_report(path, config, baseline, mutants):
    with open(path, "w") as f:
        json.dump({"config": config, "baseline": baseline, "mutants": mutants}, f, indent=1)
    with open(os.path.splitext(path)[0] + ".txt", "w") as f:
        f.write(summary(config, mutants))


def summary(config, mutants):
    stages = [s.split("=", 1)[0] for s in config["stages"]]
    groups = []
    for m in mutants:
        if m["group"] not in groups:
            groups.append(m["group"])
    header = ["group", "generated", "buildable"] + ["killed:" + s for s in stages] + ["killed", "survived", "pending"]
    rows = []
    for g in groups + ["all"]:
        ms = [m for m in mutants if g in ("all", m["group"])]
        done = [m for m in ms if "status" in m]
        built = [m for m in done if m["status"] != "unbuildable"]
        killed = [m for m in built if m["status"] == "killed"]
        row = [g, len(ms), len(built)]
        cumulative = 0
        for s in stages:
            cumulative += sum(1 for m in killed if m["killed_by"] == s)
            row.append(cumulative)
        row += [len(killed), len(built) - len(killed), len(ms) - len(done)]
        rows.append(row)
    widths = [max(len(str(r[k])) for r in [header] + rows) for k in range(len(header))]
    lines = ["  ".join(str(c).rjust(widths[k]) for k, c in enumerate(r)) for r in [header] + rows]
    lines.append("(killed:STAGE counts the mutants killed by that stage or an earlier one)")
    lines.append("")
    lines.append("survivors:")
    for m in mutants:
        if m.get("status") == "survived":
            lines.append("  #%d %s:%d %s: %s  ->  %s" % (m["id"], m["file"], m["line"], m["kind"],
                                                        m["original"].strip(), m["mutated"].strip()))
    flaky = ["  #%d %s" % (m["id"], "; ".join(", ".join(t) for t in m["flaky"])) for m in mutants if m.get("flaky")]
    if flaky:
        lines += ["", "tests that failed once and passed when run again (not counted as kills):"] + flaky
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--name", required=True, help="the work folder is /tmp/mut-NAME unless --work says otherwise")
    ap.add_argument("--work")
    ap.add_argument("--tree", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--sample", action="append", default=[], help="GLOBS=N (repeatable)")
    ap.add_argument("--replay", help="re-run the mutants of this earlier report")
    ap.add_argument("--seed", default="1")
    ap.add_argument("--stage", action="append", required=True, help="NAME=CTEST_REGEX[@netns] (repeatable, in order)")
    ap.add_argument("--targets", nargs="*", default=[], help="build targets (default: all)")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--stage-timeout", type=int, default=1200)
    ap.add_argument("--out", required=True, help="JSON report (a .txt summary is written beside it)")
    ap.add_argument("--list", action="store_true", help="only print the drawn mutants")
    ap.add_argument("--no-sync", action="store_true", help="use the work folder as it is")
    ap.add_argument("--resume", action="store_true",
                    help="keep the results already in --out and run only the mutants without one")
    args = ap.parse_args()

    work = args.work or "/tmp/mut-" + args.name
    build = os.path.join(work, "build")
    logs = os.path.join(work, "mutation-logs")
    if not args.no_sync:
        sync(args.tree, work)
    os.makedirs(logs, exist_ok=True)
    if not os.path.exists(os.path.join(build, "build.ninja")):
        subprocess.run(["cmake", "-S", work, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                        "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", "-DWATCHDOG_BUILD_BENCHMARKS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)

    if args.replay:
        with open(args.replay) as f:
            mutants = [{k: v for k, v in m.items() if k in ("id", "file", "line", "kind", "col", "original",
                                                            "mutated", "group")}
                       for m in json.load(f)["mutants"]]
    else:
        mutants = draw(work, args.sample, args.seed, build)
    if args.resume and os.path.exists(args.out):
        with open(args.out) as f:
            done = {m["id"]: m for m in json.load(f)["mutants"] if "status" in m}
        mutants = [done.get(m["id"], m) if done.get(m["id"], {}).get("mutated") == m["mutated"] else m
                   for m in mutants]
    if args.list:
        for m in mutants:
            print("#%d %s:%d %s: %s  ->  %s" % (m["id"], m["file"], m["line"], m["kind"],
                                               m["original"].strip(), m["mutated"].strip()))
        return 0

    build_cmd = ["cmake", "--build", build, "-j", str(args.jobs)]
    if args.targets:
        build_cmd += ["--target", *args.targets]
    stages = []
    for stage in args.stage:
        name, regex = stage.split("=", 1)
        netns = regex.endswith("@netns")
        stages.append((name, regex[:-len("@netns")] if netns else regex, netns))
    config = {"tree": args.tree, "work": work, "seed": args.seed, "samples": args.sample,
              "replay": args.replay, "stages": args.stage, "targets": args.targets}

    code, seconds = run(build_cmd, work, 3600, os.path.join(logs, "baseline-build.log"))
    if code != 0:
        sys.exit("the unmutated copy does not build: %s/baseline-build.log" % logs)
    baseline = {"build_s": round(seconds)}
    for name, regex, netns in stages:
        log = os.path.join(logs, "baseline-%s.log" % name)
        code, seconds = run(stage_command(regex, netns, 1), build, args.stage_timeout, log)
        if code != 0:
            sys.exit("stage %s fails without a mutant: %s" % (name, log))
        baseline[name + "_s"] = round(seconds)
    print("baseline passes: %s" % baseline, flush=True)

    for m in mutants:
        if "status" in m:
            continue
        path = os.path.join(work, m["file"])
        with open(path) as f:
            original = f.read()
        lines = original.split("\n")
        if lines[m["line"] - 1] != m["original"]:
            m["status"], m["note"] = "unbuildable", "the line has changed since the mutant was drawn"
            continue
        lines[m["line"] - 1] = m["mutated"]
        try:
            with open(path, "w") as f:
                f.write("\n".join(lines))
            code, seconds = run(build_cmd, work, 1800, os.path.join(logs, "m%d-build.log" % m["id"]))
            m["build_s"] = round(seconds)
            if code != 0:
                m["status"] = "unbuildable"
            else:
                m["status"] = "survived"
                for name, regex, netns in stages:
                    log = os.path.join(logs, "m%d-%s.log" % (m["id"], name))
                    code, seconds = run(stage_command(regex, netns, 1), build, args.stage_timeout, log)
                    m[name + "_s"] = round(seconds)
                    if code != 0 and code is not None and not any("Timeout" in t for t in failed_tests(log)):
                        # A kill must happen twice: a test that fails once in
                        # a while would otherwise pass for a kill.
                        code, _ = run(stage_command(regex, netns, 1), build, args.stage_timeout, log + ".again")
                        if code == 0:
                            m.setdefault("flaky", []).append(failed_tests(log)[:5])
                            continue
                    if code != 0:
                        m["status"], m["killed_by"] = "killed", name
                        m["failed"] = failed_tests(log)[:5] or (["(stage timed out)"] if code is None else [])
                        break
        finally:
            with open(path, "w") as f:
                f.write(original)
        print("#%d %s:%d %s -> %s %s" % (m["id"], m["file"], m["line"], m["kind"], m["status"],
                                         m.get("killed_by", "")), flush=True)
        write_report(args.out, config, baseline, mutants)

    run(build_cmd, work, 3600, os.path.join(logs, "restore-build.log"))
    write_report(args.out, config, baseline, mutants)
    print(summary(config, mutants))
    return 0


if __name__ == "__main__":
    sys.exit(main())
