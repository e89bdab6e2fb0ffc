#!/usr/bin/env python3
"""Mutation runner: proves that the test suite notices faults.

Each mutant of the curated list (scripts/mutants.txt) replaces one short
snippet of one source file. The runner applies one mutant at a time in the
work tree, rebuilds incrementally in its own build folder (only the binaries
its test selection runs), runs that selection and records the outcome:

  killed    some selected tests fail on the mutant, pass on the unmutated
            tree, and fail again when re-run on the mutant
  survived  every selected test passed
  unstable  the failures did not repeat, or the same tests also fail on the
            unmutated tree: no verdict
  invalid   the snippet is not found exactly once, or the mutant does not build

The file is always put back (also on Ctrl-C, SIGTERM or an error); a run
that was killed outright leaves a note in the build folder from which the
next run restores the file before it starts.

Results: BUILD/mutants.tsv and a summary on standard output.

  scripts/mutants.py [--only id1,id2] [--quick] [--build DIR] [--list FILE] [--jobs N]
  scripts/mutants.py --check     (every snippet occurs exactly once)
"""
import argparse
import ast
import json
import os
import shlex
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIELDS = ("id", "file", "find", "replace", "tests", "models")
TOOLS = ("multiplexor", "imserver", "loadgen", "echoserver")


class Stop(Exception):
    """SIGTERM or SIGHUP: leave as for Ctrl-C."""


def _stop(signum, frame):
    raise Stop("signal %d" % signum)


def log(msg):
    print(msg, flush=True)


# --- the list ---------------------------------------------------------------


def _value(key, text):
    text = text.strip()
    if key in ("find", "replace") and text.startswith('"'):
        return ast.literal_eval(text)
    return text


def load_list(path):
    """Blocks of `key: value` lines separated by blank lines; `#` starts a
    comment line. A find or replace value in double quotes is a Python string
    literal (for line breaks and exact spaces); any other value runs to the
    end of the line."""
    mutants, cur = [], {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for no, line in enumerate(lines + [""], 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if cur:
                missing = [k for k in FIELDS if k not in cur]
                if missing:
                    sys.exit("%s: mutant %s lacks %s" % (path, cur.get("id", "?"), ", ".join(missing)))
                mutants.append(cur)
                cur = {}
            continue
        key, sep, rest = line.partition(":")
        if not sep or key.strip() not in FIELDS:
            sys.exit("%s:%d: expected one of %s" % (path, no, ", ".join(FIELDS)))
        cur[key.strip()] = _value(key.strip(), rest)
    ids = [m["id"] for m in mutants]
    dup = {i for i in ids if ids.count(i) > 1}
    if dup:
        sys.exit("%s: duplicate ids %s" % (path, ", ".join(sorted(dup))))
    return mutants


# --- the work tree -------------------------------------------------------------


class Applied:
    """One mutant in place; restores the file however the block is left."""

    def __init__(self, note, path, original, mutated):
        self.note, self.path, self.original, self.mutated = note, path, original, mutated

    def __enter__(self):
        with open(self.note, "w", encoding="utf-8") as f:
            json.dump({"path": self.path, "original": self.original.decode("latin-1")}, f)
        self._write(self.mutated)
        return self

    def __exit__(self, *exc):
        self._write(self.original)
        os.unlink(self.note)
        return False

    def _write(self, data):
        with open(self.path, "wb") as f:
            f.write(data)
        os.utime(self.path, None)  # newer than every object built from it


def recover(note):
    if not os.path.exists(note):
        return
    with open(note, encoding="utf-8") as f:
        saved = json.load(f)
    with open(saved["path"], "wb") as f:
        f.write(saved["original"].encode("latin-1"))
    os.utime(saved["path"], None)
    os.unlink(note)
    log("restored %s, left mutated by an interrupted run" % saved["path"])


# --- building and testing ---------------------------------------------------------


def run(cmd, timeout=None, quiet=True):
    """(status, output); the whole process group goes on a timeout."""
    p = subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         start_new_session=True, text=True, errors="replace")
    try:
        out, _ = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, _ = p.communicate()
        return None, out
    except BaseException:
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        raise
    if not quiet:
        sys.stdout.write(out)
    return p.returncode, out


class Suite:
    def __init__(self, build, jobs, test_timeout, sanitize=""):
        self.build, self.jobs, self.test_timeout = build, jobs, test_timeout
        self.sanitize = sanitize
        self.targets = {}

    def configure(self, quick):
        """A full build, or with `quick` (a folder built before) none here:
        each selection then builds its own programs first."""
        fresh = not os.path.exists(os.path.join(self.build, "CMakeCache.txt"))
        if fresh:
            flags = ["-DTOVI_SANITIZE=" + self.sanitize] if self.sanitize else []
            st, out = run(["cmake", "-S", ".", "-B", self.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"] + flags)
            if st != 0:
                sys.exit("configure failed:\n" + out)
        if fresh or not quick:
            st, out = run(["cmake", "--build", self.build, "-j", str(self.jobs)])
            if st != 0:
                sys.exit("the unmutated tree does not build:\n" + out[-4000:])

    def refresh(self, sel):
        """Builds the selection's programs unmutated and lists it again (a
        rebuilt program may bring new tests)."""
        ok, out = self.build_for(sel)
        if not ok:
            sys.exit("the unmutated tree does not build:\n" + out[-4000:])
        self.targets.pop(sel, None)
        return self.selection(sel)

    def selection(self, sel):
        """The selection's tests and the build targets they need."""
        if sel not in self.targets:
            st, out = run(["ctest", "--test-dir", self.build, "-N", "--show-only=json-v1"] + shlex.split(sel))
            if st != 0:
                sys.exit("ctest cannot list %r:\n%s" % (sel, out))
            tests = json.loads(out[out.index("{"):])["tests"]
            if not tests:
                sys.exit("selection %r matches no test" % sel)
            targets = set()
            for t in tests:
                exe = os.path.basename(t["command"][0]) if t.get("command") else ""
                if exe.endswith("_test"):
                    targets.add(exe)
                labels = [p["value"] for p in t.get("properties", []) if p["name"] == "LABELS"]
                if any("integration" in v for v in labels):
                    targets.update(TOOLS)
            if not targets:
                targets.update(TOOLS)
            self.targets[sel] = ([t["name"] for t in tests], sorted(targets))
        return self.targets[sel]

    def build_for(self, sel):
        _, targets = self.selection(sel)
        st, out = run(["cmake", "--build", self.build, "-j", str(self.jobs), "--target"] + targets)
        return st == 0, out

    def reap(self):
        """Kills what a test left running from this build folder (a test
        that timed out never tears its processes down)."""
        bindir = os.path.join(self.build, "bin") + os.sep
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                exe = os.readlink("/proc/%s/exe" % pid)
            except OSError:
                continue
            if exe.startswith(bindir):
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except OSError:
                    pass

    def failing(self, args, timeout):
        """Names of the failing tests of one ctest run (args: selection)."""
        failed_log = os.path.join(self.build, "Testing", "Temporary", "LastTestsFailed.log")
        if os.path.exists(failed_log):
            os.unlink(failed_log)
        st, out = run(["ctest", "--test-dir", self.build, "-j", str(self.jobs), "--timeout",
                       str(self.test_timeout)] + args, timeout=timeout)
        self.reap()
        if st is None:
            return ["(selection timed out)"]
        names = []
        if os.path.exists(failed_log):
            with open(failed_log, encoding="utf-8", errors="replace") as f:
                names = [l.split(":", 1)[1].strip() for l in f if ":" in l]
        if st != 0 and not names:
            names = ["(ctest status %d)" % st]
        return sorted(names)


def shown(names):
    """Test names for the table: a parameterised test's ctest name carries
    its parameter ("Suite.Name/File  # GetParam() = ..."), left out here."""
    return " ".join(n.split("  #")[0] for n in names)


def exact(names):
    return ["-R", "^(" + "|".join(_re_escape(n) for n in names) + ")$"]


def _re_escape(name):
    # ctest takes POSIX extended regular expressions.
    return "".join("\\" + c if c in ".^$*+?()[]{}|\\" else c for c in name)


# --- main ------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", default="", help="comma-separated mutant ids")
    ap.add_argument("--build", default="build-mut")
    ap.add_argument("--list", default=os.path.join("scripts", "mutants.txt"))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--test-timeout", type=int, default=180, help="seconds per test")
    ap.add_argument("--run-timeout", type=int, default=1200, help="seconds per selection run")
    ap.add_argument("--quick", action="store_true",
                    help="no full build first: only the programs the selections run (a folder built before)")
    ap.add_argument("--check", action="store_true", help="only check that every snippet occurs once")
    ap.add_argument("--sanitize", default="",
                    help="sanitizers of a fresh build folder (e.g. address,undefined): a fault that shows only "
                         "as a use after free or a read out of bounds is then seen")
    args = ap.parse_args()
    os.chdir(ROOT)
    signal.signal(signal.SIGTERM, _stop)
    signal.signal(signal.SIGHUP, _stop)

    mutants = load_list(args.list)
    if args.only:
        wanted = [i.strip() for i in args.only.split(",") if i.strip()]
        unknown = [i for i in wanted if i not in {m["id"] for m in mutants}]
        if unknown:
            sys.exit("unknown mutants: " + ", ".join(unknown))
        mutants = [m for m in mutants if m["id"] in wanted]

    if args.check:
        bad = 0
        for m in mutants:
            with open(os.path.join(ROOT, m["file"]), "rb") as f:
                n = f.read().count(m["find"].encode())
            if n != 1:
                bad += 1
                log("%s: snippet found %d times in %s" % (m["id"], n, m["file"]))
        log("%d mutants, %d with a bad snippet" % (len(mutants), bad))
        return 1 if bad else 0

    build = os.path.abspath(args.build)
    os.makedirs(build, exist_ok=True)
    note = os.path.join(build, "mutant-applied.json")
    recover(note)
    suite = Suite(build, args.jobs, args.test_timeout, args.sanitize)
    log("building the unmutated tree in %s" % args.build)
    suite.configure(args.quick)

    # Tests that fail without any mutant say nothing about one.
    broken = {}
    for sel in sorted({m["tests"] for m in mutants}):
        names, _ = suite.refresh(sel) if args.quick else suite.selection(sel)
        broken[sel] = set(suite.failing(shlex.split(sel), args.run_timeout))
        log("selection %s: %d tests%s" % (sel, len(names),
            ", failing unmutated: " + " ".join(sorted(broken[sel])) if broken[sel] else ""))

    tsv = os.path.join(build, "mutants.tsv")
    results = []
    with open(tsv, "w", encoding="utf-8") as out:
        out.write("id\tresult\tkilled_by\tseconds\tfile\tmodels\n")
        try:
            for i, m in enumerate(mutants, 1):
                t0 = time.monotonic()
                result, killers, why = one(suite, m, note, broken[m["tests"]], args.run_timeout)
                secs = int(time.monotonic() - t0)
                results.append([m, result, killers, why, secs])
                log("[%d/%d] %-28s %-9s %s" % (i, len(mutants), m["id"], result, shown(killers) or why))
                out.write("\t".join([m["id"], result, shown(killers) or why, str(secs), m["file"],
                                     m["models"]]) + "\n")
                out.flush()
        except (KeyboardInterrupt, Stop) as e:
            log("interrupted (%s); the tree is restored" % (e or "Ctrl-C"))
            return 130

    # A kill counts only where the killing tests pass on the unmutated tree
    # as built now.
    killers = sorted({k for r in results if r[1] == "killed" for k in r[2] if not k.startswith("(")})
    ok, text = suite.build_for(shlex.join(exact(killers)) if killers else "-L tovi")
    if not ok:
        sys.exit("the restored tree does not build:\n" + text[-4000:])
    if killers:
        still = set(suite.failing(exact(killers), args.run_timeout))
        if still:
            log("failing on the unmutated tree as well: " + " ".join(sorted(still)))
            for r in results:
                if r[1] == "killed" and set(r[2]) <= still:
                    r[1], r[3] = "unstable", "its killers fail unmutated too"
                elif r[1] == "killed":
                    r[2] = [k for k in r[2] if k not in still]
            with open(tsv, "w", encoding="utf-8") as out:
                out.write("id\tresult\tkilled_by\tseconds\tfile\tmodels\n")
                for m, result, ks, why, secs in results:
                    out.write("\t".join([m["id"], result, shown(ks) or why, str(secs), m["file"],
                                         m["models"]]) + "\n")

    counts = {}
    for r in results:
        counts[r[1]] = counts.get(r[1], 0) + 1
    log("\n%-28s %-9s %s" % ("mutant", "result", "killing tests / reason"))
    for m, result, ks, why, _ in results:
        log("%-28s %-9s %s" % (m["id"], result, shown(ks) or why))
    log("\n" + ", ".join("%d %s" % (counts[k], k) for k in ("killed", "survived", "unstable", "invalid")
                         if k in counts) + " of %d; results in %s" % (len(results), os.path.relpath(tsv, ROOT)))
    return 0


def one(suite, m, note, broken, run_timeout):
    """(result, killing tests, reason) of one mutant."""
    path = os.path.join(ROOT, m["file"])
    try:
        with open(path, "rb") as f:
            original = f.read()
    except OSError as e:
        return "invalid", [], "cannot read %s: %s" % (m["file"], e.strerror)
    find, replace = m["find"].encode(), m["replace"].encode()
    n = original.count(find)
    if n != 1:
        return "invalid", [], "snippet found %d times" % n
    sel = shlex.split(m["tests"])
    with Applied(note, path, original, original.replace(find, replace)):
        ok, text = suite.build_for(m["tests"])
        if not ok:
            lines = [l for l in text.splitlines() if "error" in l]
            return "invalid", [], "does not build: " + (lines[0][:120] if lines else "see the build")
        failed = [t for t in suite.failing(sel, run_timeout) if t not in broken]
        if not failed:
            return "survived", [], ""
        # A kill must repeat: re-run the failing tests on the same mutant.
        if failed[0].startswith("("):
            again = suite.failing(sel, run_timeout)
        else:
            again = suite.failing(exact(failed), run_timeout)
        both = [t for t in failed if t in again]
        if not both:
            return "unstable", [], "failed once, passed on a re-run: " + shown(failed)
        return "killed", both, ""


if __name__ == "__main__":
    sys.exit(main())
