#!/usr/bin/env bash
# Measures how strong the native tests are: draws random small mistakes
# ("mutants") in the sources, one at a time, rebuilds, runs the tests that can
# see the changed file and counts how many mistakes the tests catch.
#
#   scripts/test-mutants.sh [--seed S] [--count N] [--timeout SECONDS] [--list] [--no-qemu]
#                           [PATHS...]
#   scripts/test-mutants.sh --patches DIR [--timeout SECONDS] [--no-qemu]
#
# --list only prints the mutants drawn. --patches takes the mistakes from
# DIR instead, one unified diff of src/ per *.patch file, for mistakes
# written by hand that no operator draws (a wrong field, a wrong unit). PATHS are files or folders under
# src/ (default: the core and the POSIX layer; not the Win32 files). The
# same seed and paths draw the same mutants. Each mutant is applied, built in
# build/mutants, tested and reverted; one that does not compile is skipped.
# The tests run are those that can see the file: the core tests, the POSIX
# and end-to-end tests, and for src/ui the window tests on Xvfb when it is
# installed (or on TS_TEST_DISPLAY). A mutant of the termios, serial
# control or port diagnosis files that the pseudo-terminal tests miss also
# meets the real kernel drivers (scripts/test-qemu.sh, about a minute)
# unless --no-qemu is given or QEMU is not installed. The report lists
# killed, survived and timed-out mutants (a hang the tests stop counts as
# caught), the diff of every survivor and the kill rate per folder; it is
# also written to build/mutants/report-<seed>.txt.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
SEED=1
COUNT=30
TIMEOUT=""
LIST=""
PATCHES=""
QEMU=1
PATHS=()
while (($#)); do
  case "$1" in
    --seed) SEED=$2; shift 2 ;;
    --count) COUNT=$2; shift 2 ;;
    --timeout) TIMEOUT=$2; shift 2 ;;
    --list) LIST=1; shift ;;
    --patches) PATCHES=$(realpath "$2"); shift 2 ;;
    --no-qemu) QEMU=""; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) PATHS+=("$1"); shift ;;
  esac
done
command -v qemu-system-x86_64 >/dev/null || QEMU=""
((${#PATHS[@]})) || PATHS=(src/app src/exchange src/loop src/serial src/text src/ui)

BUILD=$ROOT/build/mutants
BACKUP=$(mktemp -d)
mkdir -p "$BUILD"

if ! git diff --quiet -- src; then
  echo "src/ has uncommitted changes; commit or stash them first" >&2
  exit 2
fi

# Whatever happens (Ctrl-C, a timeout, an error in this script), every
# mutated file gets its original back.
restore() {
  if [[ -d $BACKUP ]]; then
    (cd "$BACKUP" && find . -type f -print0) | while IFS= read -r -d '' f; do
      cp "$BACKUP/$f" "$ROOT/$f"
    done
    rm -rf "$BACKUP"
  fi
}
# The window tests run on virtual X servers when Xvfb is installed, as
# scripts/test-x11.sh runs them: a common screen, a wide one at another
# density and, when openbox is installed, the common one under a window
# manager that frames the window.
x_pids=()
start_xvfb() {  # start_xvfb VARIABLE SCREEN: the display goes to VARIABLE
  local number_file
  number_file=$(mktemp)
  # shellcheck disable=SC2086 # the screen's words are Xvfb's arguments
  Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 $2 3>"$number_file" >/dev/null 2>&1 &
  x_pids+=($!)
  for _ in $(seq 100); do [[ -s $number_file ]] && break; sleep 0.1; done
  [[ -s $number_file ]] && printf -v "$1" ':%s' "$(head -n1 "$number_file")"
  rm -f "$number_file"
  [[ -n ${!1:-} ]] && export "${1?}"
}
if [[ -z ${TS_TEST_DISPLAY:-} ]] && command -v Xvfb >/dev/null; then
  start_xvfb TS_TEST_DISPLAY 1920x1080x24 || true
  start_xvfb TS_MUTANT_WIDE_DISPLAY "3840x1200x24 -dpi 120" || true
  if command -v openbox >/dev/null && start_xvfb TS_MUTANT_FRAMED_DISPLAY 1920x1080x24; then
    DISPLAY=$TS_MUTANT_FRAMED_DISPLAY openbox >/dev/null 2>&1 &
    x_pids+=($!)
    for _ in $(seq 100); do
      DISPLAY=$TS_MUTANT_FRAMED_DISPLAY xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null |
        grep -q 'window id' && break
      sleep 0.1
    done
  fi
fi
cleanup() {
  restore
  ((${#x_pids[@]} == 0)) || kill "${x_pids[@]}" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ ! -f $BUILD/build.ninja ]]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" >"$BUILD/configure.log"
fi

export TS_MUTANT_ROOT=$ROOT TS_MUTANT_BUILD=$BUILD TS_MUTANT_BACKUP=$BACKUP
export TS_MUTANT_SEED=$SEED TS_MUTANT_COUNT=$COUNT TS_MUTANT_TIMEOUT=$TIMEOUT TS_MUTANT_LIST=$LIST
export TS_MUTANT_QEMU=$QEMU TS_MUTANT_PATCHES=$PATCHES
status=0
python3 - "${PATHS[@]}" <<'PY' || status=$?
import difflib, os, random, re, shutil, signal, subprocess, sys, time
from pathlib import Path

ROOT = Path(os.environ["TS_MUTANT_ROOT"])
BUILD = Path(os.environ["TS_MUTANT_BUILD"])
BACKUP = Path(os.environ["TS_MUTANT_BACKUP"])
SEED = int(os.environ["TS_MUTANT_SEED"])
COUNT = int(os.environ["TS_MUTANT_COUNT"])
FIXED_TIMEOUT = os.environ["TS_MUTANT_TIMEOUT"]
PATCHES = os.environ["TS_MUTANT_PATCHES"]

# What a file is built into decides which tests can see a change to it.
CORE_TESTS = ("core_tests", BUILD / "tests/core_tests")
POSIX_TESTS = ("posix_tests", BUILD / "tests/posix_tests")
X11_TESTS = ("x11_tests", BUILD / "tests/x11_tests")
DISPLAY = os.environ.get("TS_TEST_DISPLAY", "")
# The same window tests on the other screens, where they were started.
X11_SCREENS = {"x11_tests": DISPLAY,
               "x11_tests_wide": os.environ.get("TS_MUTANT_WIDE_DISPLAY", ""),
               "x11_tests_framed": os.environ.get("TS_MUTANT_FRAMED_DISPLAY", "")}
X11_STAGES = [(name, X11_TESTS[1]) for name, shown in X11_SCREENS.items() if shown]
# The pseudo-terminal ignores framing and modem lines, and a test cannot
# add a USB adapter to /dev; the real drivers under QEMU do.
QEMU = bool(os.environ["TS_MUTANT_QEMU"])
QEMU_STAGE = ("qemu", ROOT / "scripts/test-qemu.sh")
QEMU_FILES = ("termios_linux", "serial_control_posix", "port_diagnosis_posix")
TARGETS = (["terminal-serial", "core_tests", "posix_tests"] + (["x11_tests"] if DISPLAY else [])
           + (["terminal-serial-check", "fake-device"] if QEMU else []))


def tests_for(path):
    # The window's drawing and size only show on a display.
    return tests_without_display(path) + (
        X11_STAGES if DISPLAY and path.parts[:2] == ("src", "ui") else []) + (
        [QEMU_STAGE] if QEMU and path.stem in QEMU_FILES else [])


def tests_without_display(path):
    # The core's own tests on the fake loop first (fast: they cost nothing
    # for a file they do not link, and they also link the POSIX file access
    # and termination), then the real executable end to end.
    return [CORE_TESTS, POSIX_TESTS]


def wanted(path):
    n = path.name
    if "_win32" in n or n.endswith(".rc.in") or "utf8_win32" in n:
        return False
    if (n.startswith("x11_") or n.startswith("window_x11")) and not DISPLAY:
        return False  # its tests need a display
    return path.suffix in (".cpp", ".h")


def collect_files(args):
    files = []
    for a in args:
        p = (ROOT / a).resolve()
        if p.is_dir():
            files += sorted(q for q in p.rglob("*") if q.is_file() and wanted(q))
        elif p.is_file():
            files.append(p)
        else:
            sys.exit(f"no such path: {a}")
    return sorted(set(files))


def code_mask(lines):
    """Per line, the text with comments and string/char literals blanked
    (same length), so that operators are only found in code."""
    out, in_block = [], False
    for line in lines:
        s, i, n = list(line), 0, len(line)
        while i < n:
            if in_block:
                if line.startswith("*/", i):
                    s[i] = s[i + 1] = " "
                    in_block = False
                    i += 2
                    continue
                s[i] = " "
                i += 1
                continue
            if line.startswith("//", i):
                for j in range(i, n):
                    s[j] = " "
                break
            if line.startswith("/*", i):
                in_block = True
                s[i] = s[i + 1] = " "
                i += 2
                continue
            c = line[i]
            if c in "\"'":
                # A digit separator (1'000) is not a character literal.
                if c == "'" and i > 0 and line[i - 1].isalnum() and i + 1 < n and line[i + 1].isalnum():
                    i += 1
                    continue
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                for k in range(i + 1, min(j, n)):
                    s[k] = " "
                i = j + 1
                continue
            i += 1
        out.append("".join(s))
    return out


SKIP_LINE = re.compile(r"^\s*(#|static_assert|namespace\b|using\b|template\b|//|virtual\b)")
REL = {"<": ["<=", ">=", ">"], "<=": ["<", ">", "=="], ">": [">=", "<=", "<"],
       ">=": [">", "<", "=="], "==": ["!=", "<=", ">="], "!=": ["==", "<", ">"]}
ARITH = {"+": ["-", "*"], "-": ["+", "/"], "*": ["/", "+"], "/": ["*", "%"], "%": ["/", "*"],
         "+=": ["-="], "-=": ["+="], "*=": ["/="], "/=": ["*="]}


# Changes that leave the program as it was are not mistakes: a flag worth 0
# dropped from a mask, an empty value written as {}.
ZERO_FLAGS = {"O_RDONLY"}
EMPTY_VALUES = {"std::nullopt", "nullptr", "{}"}


def find_matching(code, start):
    """Index of the ')' that closes the '(' at start, or -1."""
    depth = 0
    for i in range(start, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def sites(path):
    text = path.read_text()
    lines = text.split("\n")
    masked = code_mask(lines)
    found = []  # (class, line index, new line)

    def add(cls, idx, new):
        if new != lines[idx]:
            found.append((cls, idx, new))

    for idx, (line, code) in enumerate(zip(lines, masked)):
        if not code.strip() or SKIP_LINE.match(line):
            continue
        prev = masked[idx - 1].rstrip() if idx else ""
        # Relational operators, written with spaces as the formatter does
        # (template brackets are not).
        for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
            for r in REL[m.group(1)]:
                add("relational", idx, line[:m.start()] + r + line[m.end():])
        # Arithmetic.
        for m in re.finditer(r"(?<=\s)(\+=|-=|\*=|/=|\+|-|\*|/|%)(?=\s)", code):
            for r in ARITH[m.group(1)]:
                add("arithmetic", idx, line[:m.start()] + r + line[m.end():])
        # Constants nudged by one.
        for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|\d[\d']*)(?![\w.'])", code):
            lit = m.group(1)
            digits = lit.replace("'", "")
            if digits.lower().startswith("0x"):
                value, fmt = int(digits, 16), hex
            elif len(digits) > 1 and digits.startswith("0"):
                value, fmt = int(digits, 8), lambda v: "0" + oct(v)[2:]
            else:
                value, fmt = int(digits), str
            for v in (value + 1, value - 1):
                if v >= 0:
                    new = fmt(v)
                    add("constant", idx, line[:m.start()] + new + line[m.end():])
        # Conditions negated or dropped.
        for m in re.finditer(r"\b(if|while)\s*\(", code):
            open_ = code.index("(", m.start())
            close = find_matching(code, open_)
            if close < 0:
                continue
            cond = line[open_ + 1:close]
            add("condition", idx, line[:open_ + 1] + "!(" + cond + ")" + line[close:])
            add("condition", idx, line[:open_ + 1] + "true" + line[close:])
            add("condition", idx, line[:open_ + 1] + "false" + line[close:])
        for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
            add("condition", idx, line[:m.start()] + ("||" if m.group(1) == "&&" else "&&") + line[m.end():])
        for m in re.finditer(r"!(?!=)", code):
            add("condition", idx, line[:m.start()] + line[m.end():])
        # A flag dropped from a bit mask.
        for m in re.finditer(r"(?<!\|\s)\b([A-Z][A-Z0-9_]+)\b\s*\|(?!\|)\s*", code):
            if m.group(1) not in ZERO_FLAGS:
                add("bitmask", idx, line[:m.start()] + line[m.end():])
        for m in re.finditer(r"(?<![|\s])\s*(?<!\|)\|(?!\|)\s*\b([A-Z][A-Z0-9_]+)\b(?!\s*\|\|)", code):
            if m.group(1) not in ZERO_FLAGS:
                add("bitmask", idx, line[:m.start()] + line[m.end():])
        # A return value replaced.
        m = re.match(r"^(\s*return\s+)(.+);\s*$", code)
        if m and not code.rstrip().endswith("{"):
            val = line[m.end(1):m.end(2)]
            head, tail = line[:m.end(1)], line[m.end(2):]
            if val == "true":
                add("return", idx, head + "false" + tail)
            elif val == "false":
                add("return", idx, head + "true" + tail)
            elif re.fullmatch(r"-?\d+", val):
                add("return", idx, head + ("1" if val == "0" else "0") + tail)
            else:
                if val not in EMPTY_VALUES:
                    add("return", idx, head + "{}" + tail)
                add("return", idx, head + "!(" + val + ")" + tail)
        # A statement or call deleted: a whole statement on one line.
        stripped = code.strip()
        if path.suffix != ".cpp" or not line.startswith("  "):
            continue
        starts_statement = (not prev) or prev.endswith((";", "{", "}", ":")) or prev.strip() == ""
        if (starts_statement and stripped.endswith(";") and "(" in stripped
                and stripped.count("(") == stripped.count(")")
                and not re.match(r"(return|case|default|break|continue|for|if|while|else|do)\b", stripped)
                and not re.match(r"[\w:<>,\s*&]+\s+[\w]+\s*[({=]", stripped)):
            indent = line[:len(line) - len(line.lstrip())]
            add("statement", idx, indent + ";  // deleted")
    return lines, found


def run(cmd, timeout=None, **kw):
    return subprocess.run(cmd, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, errors="replace", **kw)


def build():
    return run(["cmake", "--build", str(BUILD), "-j2", "--target"] + TARGETS).returncode == 0


SHARDS = 4  # the end-to-end tests mostly wait on the clock: run them side by side


def run_tests(name, binary, timeout):
    """'killed', 'survived' or 'timeout'; stops at the first failing test."""
    if binary == QEMU_STAGE[1]:
        return run_qemu_stage(timeout)
    procs, logs = [], []
    # The window tests look at one screen: one at a time.
    shards = 1 if binary == X11_TESTS[1] else SHARDS
    for i in range(shards):
        logs.append(open(BUILD / f"shard-{i}.log", "w+"))
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(i))
        if name in X11_SCREENS:
            env["TS_TEST_DISPLAY"] = X11_SCREENS[name]
        procs.append(subprocess.Popen([str(binary), "--gtest_fail_fast", "--gtest_brief=1"],
                                      cwd=BUILD, env=env, stdout=logs[-1],
                                      stderr=subprocess.STDOUT, start_new_session=True))
    deadline = time.monotonic() + timeout
    verdict, why = "survived", ""
    outputs = {}
    try:
        while len(outputs) < len(procs):
            for p in procs:
                if p in outputs or p.poll() is None:
                    continue
                log = logs[procs.index(p)]
                log.seek(0)
                outputs[p] = log.read()
                if p.returncode != 0:
                    fails = [l for l in outputs[p].splitlines() if "[  FAILED  ]" in l]
                    return "killed", (fails[0].strip() if fails else f"exit {p.returncode}")
            if time.monotonic() > deadline:
                return "timeout", ""
            time.sleep(0.05)
    finally:
        for p in procs:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()
        for log in logs:
            log.close()
    return verdict, why


def run_qemu_stage(timeout):
    try:
        result = run([str(QEMU_STAGE[1]), str(BUILD)], timeout=timeout, cwd=ROOT,
                     start_new_session=True)
    except subprocess.TimeoutExpired:
        return "timeout", ""
    (BUILD / "qemu.log").write_text(result.stdout)
    if result.returncode == 0:
        return "survived", ""
    fails = [l for l in result.stdout.splitlines() if "FAIL" in l]
    return "killed", (fails[0].strip() if fails else f"exit {result.returncode}")


def draw():
    """The mutants: (class, file, line index, new line, test paths)."""
    if PATCHES:
        drawn = []
        for patch in sorted(Path(PATCHES).glob("*.patch")):
            paths = re.findall(r"^\+\+\+ b/(\S+)", patch.read_text(), re.M)
            drawn.append(("patch", patch, None, None, [Path(p) for p in paths]))
        return drawn, {}
    files = collect_files(sys.argv[1:])
    rng = random.Random(SEED)
    per_class = {}
    texts = {}
    for f in files:
        lines, found = sites(f)
        texts[f] = lines
        for cls, idx, new in found:
            per_class.setdefault(cls, []).append((f, idx, new))
    classes = sorted(per_class)
    if not classes:
        sys.exit("nothing to mutate")
    # A class first, then a place: every kind of mistake is drawn about as
    # often, wherever it can be made.
    drawn, seen = [], set()
    tries = 0
    while len(drawn) < COUNT and tries < COUNT * 50:
        tries += 1
        cls = rng.choice(classes)
        m = rng.choice(per_class[cls])
        if (m[0], m[1], m[2]) in seen:
            continue
        seen.add((m[0], m[1], m[2]))
        drawn.append((cls,) + m + ([m[0].relative_to(ROOT)],))
    return drawn, texts


def apply_patch(patch):
    """Applies a hand-written mistake; its text is the diff reported."""
    result = run(["git", "apply", str(patch)], cwd=ROOT)
    return result.returncode == 0, patch.read_text()


def apply_line(f, idx, new, lines):
    rel = f.relative_to(ROOT)
    mutated = lines[:idx] + [new] + lines[idx + 1:]
    f.write_text("\n".join(mutated))
    return True, "".join(difflib.unified_diff(
        [l + "\n" for l in lines[max(0, idx - 2):idx + 3]],
        [l + "\n" for l in mutated[max(0, idx - 2):idx + 3]],
        f"a/{rel}:{idx + 1}", f"b/{rel}:{idx + 1}", n=2))


def stages_for(rels):
    stages = []
    for rel in rels:
        stages += [s for s in tests_for(rel) if s not in stages]
    return stages


def main():
    drawn, texts = draw()
    if not drawn:
        sys.exit("nothing drawn")
    print(f"seed {SEED}: {len(drawn)} mutants" if not PATCHES
          else f"{len(drawn)} mistakes from {PATCHES}", flush=True)
    if os.environ["TS_MUTANT_LIST"]:
        for cls, f, idx, new, _ in drawn:
            print(f.name if cls == "patch" else
                  f"{cls:10} {f.relative_to(ROOT)}:{idx + 1}\n  - {texts[f][idx].strip()}\n  + {new.strip()}")
        return 0
    if not build():
        sys.exit("the unmutated sources do not build in build/mutants")
    # The unmutated tests must pass; their times bound each mutant's run.
    limits = {}
    needs_qemu = any(QEMU_STAGE in stages_for(rels) for *_, rels in drawn)
    for name, binary in ([CORE_TESTS, POSIX_TESTS] + X11_STAGES
                         + ([QEMU_STAGE] if needs_qemu else [])):
        t0 = time.monotonic()
        verdict, why = run_tests(name, binary, 1800)
        took = time.monotonic() - t0
        if verdict != "survived":
            sys.exit(f"{name} fails without any mutant ({why}); fix that first")
        limits[name] = float(FIXED_TIMEOUT) if FIXED_TIMEOUT else max(30.0, 3 * took + 20)
        print(f"  {name}: {took:.0f} s unmutated, limit {limits[name]:.0f} s", flush=True)

    results = []
    started = time.monotonic()
    for n, (cls, f, idx, new, rels) in enumerate(drawn, 1):
        backups = []
        for rel in rels:
            backups.append((ROOT / rel, BACKUP / rel))
            backups[-1][1].parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(*backups[-1])
        t0 = time.monotonic()
        try:
            applied, diff = apply_patch(f) if cls == "patch" else apply_line(f, idx, new, texts[f])
            if not applied:
                verdict, why = "skipped", "does not apply"
            elif not build():
                verdict, why = "skipped", "does not compile"
            else:
                verdict, why = "survived", ""
                for name, binary in stages_for(rels):
                    verdict, why = run_tests(name, binary, limits[name])
                    if verdict != "survived":
                        why = f"{name}: {why}" if why else name
                        break
        finally:
            for original, backup in backups:
                shutil.copy(backup, original)  # new mtime: the next build recompiles it
                backup.unlink()
        took = time.monotonic() - t0
        rel = rels[0]
        where = f.name if cls == "patch" else f"{rel}:{idx + 1}"
        results.append((cls, rel, verdict, why, diff))
        print(f"[{n}/{len(drawn)}] {verdict:8} {cls:10} {where} ({took:.0f} s) {why}",
              flush=True)

    report = []
    survivors = [r for r in results if r[2] == "survived"]
    if survivors:
        report.append("Survivors:\n")
        for cls, rel, _, _, diff in survivors:
            report.append(f"--- {cls} in {rel}\n{diff}")
    name = f"seed {SEED}" if not PATCHES else PATCHES
    report.append(f"\n{name}, {len(results)} mutants, "
                  f"{(time.monotonic() - started) / 60:.0f} min\n")
    report.append(f"{'folder':16} {'killed':>7} {'timeout':>8} {'survived':>9} {'skipped':>8} {'rate':>6}\n")
    folders = sorted({str(r[1].parent) for r in results})
    for folder in folders + ["all"]:
        rs = [r for r in results if folder == "all" or str(r[1].parent) == folder]
        k = sum(r[2] == "killed" for r in rs)
        t = sum(r[2] == "timeout" for r in rs)
        s = sum(r[2] == "survived" for r in rs)
        sk = sum(r[2] == "skipped" for r in rs)
        rate = f"{100 * (k + t) / (k + t + s):.0f} %" if k + t + s else "-"
        report.append(f"{folder:16} {k:7} {t:8} {s:9} {sk:8} {rate:>6}\n")
    text = "".join(report)
    print("\n" + text)
    (BUILD / (f"report-{SEED}.txt" if not PATCHES else "report-patches.txt")).write_text(text)
    return 1 if survivors else 0


sys.exit(main())
PY
cleanup
trap - EXIT
if ! git diff --quiet -- src; then
  echo "src/ differs from before the run: check git diff" >&2
  exit 3
fi
exit "$status"
