"""Native, Cython and plain Python side by side.

The plain-Python twins (bench/reference.py) are also compiled with Cython,
the way a user would compile a module of their own: language_level=3, every
other directive at Cython's default, and the C compiler and flags that the
interpreter was built with (what `cythonize -i` and setuptools use). The
result is the module `reference_cy` in build/bench-pyX.Y/, so that all three
load side by side in one process.

Each of the six calls then runs three ways with the same stand-ins (those of
bench/cases.py): timed as `deque(starmap(f, repeat(args, n)), 0)`, and, where
valgrind is present, counted with callgrind over exactly that loop
(`--toggle-collect=starmap_next`, a fixed PYTHONHASHSEED), one dump per loop.
The counts are deterministic: run twice, they repeat exactly.

    python bench/peers.py --callgrind-child CALLS   (run by callgrind, not by hand)
"""

import hashlib
import importlib.util
import json
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections import deque
from itertools import repeat, starmap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if __name__ == "__main__":
    # The callgrind child, a script of its own: the search path that
    # bench.py sets up is made here.
    sys.path[:0] = [ROOT, HERE]

import cases  # noqa: E402

SOURCE = os.path.join(HERE, "reference.py")
MODULE = "reference_cy"
# What a user sets; everything else stays at Cython's defaults.
DIRECTIVES = {"language_level": "3"}
SIDES = ("native", "cython", "python")
GUARDED = "guarded call"
GUARDED_ARGS = (1, 2)  # target(1, 2) through the guard: positional, as starmap passes them
MARKER = "os_getppid"  # C function of os.getppid(): callgrind dumps before it


# ---- the Cython build ---------------------------------------------------------

def build_dir():
    return os.path.join(ROOT, "build", "bench-py%d.%d" % sys.version_info[:2])


def build_cython(out_dir=None):
    """Compiles reference.py into reference_cy (unless an identical build is
    there already) and returns how it was built."""
    try:
        import Cython
    except ImportError:
        sys.exit("Cython is missing: the benchmark needs requirements/dev.txt installed "
                 "(./dev bench does that)")
    out_dir = out_dir or build_dir()
    os.makedirs(out_dir, exist_ok=True)
    var = sysconfig.get_config_var
    c_file = os.path.join(out_dir, MODULE + ".c")
    obj = os.path.join(out_dir, MODULE + ".o")
    so = os.path.join(out_dir, MODULE + var("EXT_SUFFIX"))
    cythonize = [sys.executable, "-m", "cython",
                 *[f"-X{k}={v}" for k, v in DIRECTIVES.items()],
                 "--module-name", MODULE, SOURCE, "-o", c_file]
    compile_ = (shlex.split(var("CC")) + shlex.split(var("CFLAGS")) + shlex.split(var("CCSHARED"))
                + ["-I" + sysconfig.get_paths()["include"], "-c", c_file, "-o", obj])
    link = shlex.split(var("LDSHARED")) + [obj, "-o", so]
    info = {"cython": Cython.__version__, "directives": DIRECTIVES,
            "other_directives": "Cython's defaults", "module": MODULE,
            "cythonize": shlex.join(["python"] + cythonize[1:]), "compile": shlex.join(compile_),
            "link": shlex.join(link), "path": so}
    with open(SOURCE, "rb") as f:
        stamp_text = hashlib.sha256(f.read() + json.dumps(info, sort_keys=True).encode()).hexdigest()
    stamp = os.path.join(out_dir, MODULE + ".stamp")
    if os.path.exists(so) and _read(stamp) == stamp_text:
        return info
    print(f"== compiling bench/reference.py with Cython {Cython.__version__} into {so}",
          flush=True)
    for command in (cythonize, compile_, link):
        subprocess.run(command, check=True)
    with open(stamp, "w") as f:
        f.write(stamp_text)
    return info


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def load_cython(path):
    if MODULE in sys.modules:
        return sys.modules[MODULE]
    spec = importlib.util.spec_from_file_location(MODULE, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[MODULE] = module
    spec.loader.exec_module(module)
    return module


# ---- what is measured ---------------------------------------------------------

def measured(cy):
    """[(name, (native, Cython, Python callables), args)] and the modules
    whose globals take the stand-ins."""
    rows = [(name, (getattr(module, attr), getattr(cy, attr), getattr(cases.reference, attr)), args)
            for name, module, attr, args in cases.CASES]
    guards = (cases.guard_module.guard_access, cy.guard_access, cases.reference.guard_access)
    rows.append((GUARDED, tuple(g(cases.target) for g in guards), GUARDED_ARGS))
    modules = cases.DATA_MODULES + [cases.guard_module, cases.reference, cy]
    return rows, modules


def run_loop(fn, args, calls):
    deque(starmap(fn, repeat(args, calls)), 0)


def same_results(cy):
    """The Cython twins do what the native functions do: equal tables from
    the sample service through the real requests and pandas, and the same
    refusal from the guard when nobody is logged in."""
    import pandas
    from sample_service import DEMO_TOKEN, SampleService
    with SampleService() as service, \
            cases.Rebound(cases.DATA_MODULES + [cy], {"base_url": service.url}):
        cases.Client().login(DEMO_TOKEN)
        try:
            for name, module, attr, args in cases.CASES:
                pandas.testing.assert_frame_equal(getattr(module, attr)(*args),
                                                  getattr(cy, attr)(*args))
            native, compiled = (g(cases.target) for g in (cases.guard_module.guard_access,
                                                         cy.guard_access))
            assert native(*GUARDED_ARGS) == compiled(*GUARDED_ARGS)
        finally:
            cases.Client().logout()
    refusals = []
    for guard in (cases.guard_module.guard_access, cy.guard_access):
        try:
            guard(cases.target)(*GUARDED_ARGS)
        except Exception as error:  # the guard raises a plain Exception
            refusals.append((type(error), error.args))
    assert len(refusals) == 2 and refusals[0] == refusals[1], refusals


def time_rows(rows, repeats, calls):
    """Seconds per call, min and all repeats, of each side of each row;
    repeats interleaved so that drift of the machine hits all alike."""
    loops = [(fn, args) for _, fns, args in rows for fn in fns]
    for fn, args in loops:
        run_loop(fn, args, min(calls, 2000))  # warm-up
    times = [[] for _ in loops]
    clock = time.perf_counter
    for _ in range(repeats):
        for (fn, args), out in zip(loops, times):
            start = clock()
            run_loop(fn, args, calls)
            out.append((clock() - start) / calls)
    return [dict(zip(SIDES, times[i:i + 3])) for i in range(0, len(times), 3)]


# ---- callgrind ----------------------------------------------------------------

def callgrind_command(out_file, calls, dump_instr):
    return (["valgrind", "--tool=callgrind", "--collect-atstart=no",
             "--toggle-collect=starmap_next", f"--dump-before={MARKER}",
             f"--callgrind-out-file={out_file}"]
            + (["--dump-instr=yes"] if dump_instr else [])
            + [sys.executable, os.path.abspath(__file__), "--callgrind-child", str(calls)])


def dump_totals(out_file):
    """Instruction totals of the dumps made at the marker, in order."""
    directory, base = os.path.split(out_file)
    numbered = []
    for name in os.listdir(directory):
        if name.startswith(base + "."):
            suffix = name[len(base) + 1:]
            if suffix.isdigit():
                numbered.append((int(suffix), os.path.join(directory, name)))
    totals = []
    for _, path in sorted(numbered):
        trigger, total = "", None
        with open(path) as f:
            for line in f:
                if line.startswith("desc: Trigger:"):
                    trigger = line
                elif line.startswith(("summary:", "totals:")):
                    total = int(line.split()[1])
        if MARKER in trigger:
            totals.append(total or 0)
    return totals


def count_instructions(nrows, calls, runs, keep_dir=None):
    """Instructions per call of each loop, from `runs` callgrind runs; None
    where valgrind is missing."""
    if not shutil.which("valgrind"):
        return None
    env = dict(os.environ, PYTHONHASHSEED="0")
    per_run = []
    commands = []
    for run in range(runs):
        directory = keep_dir or tempfile.mkdtemp(prefix="qv-callgrind-")
        os.makedirs(directory, exist_ok=True)
        out_file = os.path.join(directory, f"callgrind.out.run{run}")
        command = callgrind_command(out_file, calls, dump_instr=bool(keep_dir))
        commands.append(shlex.join(command))
        print(f"== callgrind run {run + 1} of {runs} ({nrows * 3} loops of {calls} calls)",
              flush=True)
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"callgrind run failed:\n{done.stderr[-3000:]}")
        totals = dump_totals(out_file)[-nrows * 3:]
        if len(totals) != nrows * 3:
            sys.exit(f"callgrind: expected {nrows * 3} dumps in {directory}, found {len(totals)}")
        per_run.append(totals)
        if not keep_dir:
            shutil.rmtree(directory, ignore_errors=True)
    first = per_run[0]
    return {"calls": calls, "runs": runs, "repeat_exactly": all(r == first for r in per_run),
            "totals": per_run, "command": commands[0], "hash_seed": 0,
            "per_call": [dict(zip(SIDES, (t / calls for t in first[i:i + 3])))
                         for i in range(0, len(first), 3)]}


def callgrind_child(calls):
    """Runs under callgrind: every loop once uncounted to warm caches, then
    each loop counted on its own, a dump after each."""
    cy = load_cython(os.path.join(build_dir(), MODULE + sysconfig.get_config_var("EXT_SUFFIX")))
    rows, modules = measured(cy)
    with cases.Rebound(modules, cases.STANDINS):
        for _, fns, args in rows:
            for fn in fns:
                for _ in range(200):
                    fn(*args)
        os.getppid()
        for _, fns, args in rows:
            for fn in fns:
                run_loop(fn, args, calls)
                os.getppid()


# ---- the section --------------------------------------------------------------

def add_options(parser):
    group = parser.add_argument_group("native, Cython and plain Python side by side")
    group.add_argument("--peers-only", action="store_true",
                       help="run only this comparison")
    group.add_argument("--no-callgrind", action="store_true",
                       help="times only, no instruction counts")
    group.add_argument("--callgrind-calls", type=int, default=2000,
                       help="calls per counted loop (default 2000)")
    group.add_argument("--callgrind-runs", type=int, default=None,
                       help="callgrind runs, to show the counts repeat (default 2, --quick 1)")
    group.add_argument("--callgrind-keep", metavar="DIR",
                       help="keep the callgrind dumps (with --dump-instr=yes) in DIR, one per loop")


def run(opts, quick):
    info = build_cython()
    cy = load_cython(info["path"])
    same_results(cy)
    repeats, calls = (5, 2000) if quick else (7, 20000)
    rows, modules = measured(cy)
    with cases.Rebound(modules, cases.STANDINS):
        times = time_rows(rows, repeats, calls)
    counted = None
    if not opts.no_callgrind:
        runs = opts.callgrind_runs or (1 if quick else 2)
        counted = count_instructions(len(rows), opts.callgrind_calls, runs, opts.callgrind_keep)
    result = {"build": info, "timing": {"repeats": repeats, "calls": calls,
                                        "loop": "deque(starmap(f, repeat(args, calls)), 0)"},
              "callgrind": None, "rows": {}}
    if counted:
        result["callgrind"] = {k: v for k, v in counted.items() if k != "per_call"}
    for i, (name, _, args) in enumerate(rows):
        t = {side: min(times[i][side]) * 1e6 for side in SIDES}
        row = result["rows"][name] = {
            "args": list(args), "time_min_us": t,
            "time_all_us": {side: [x * 1e6 for x in times[i][side]] for side in SIDES},
            "time_ratio": {"native/cython": t["native"] / t["cython"],
                           "native/python": t["native"] / t["python"]}}
        if counted:
            n = counted["per_call"][i]
            row["instructions"] = n
            row["instruction_ratio"] = {"native/cython": n["native"] / n["cython"],
                                        "native/python": n["native"] / n["python"]}
    return result


def report(result):
    timing, counted = result["timing"], result["callgrind"]
    print(f"\nNative, Cython {result['build']['cython']} and plain Python, same steps, same "
          f"stand-ins; time = min of {timing['repeats']} x {timing['calls']} calls")
    head = f"{'function':<16}"
    if counted:
        head += (f"{'native instr':>13}{'Cython instr':>13}{'Python instr':>13}"
                 f"{'nat/Cy':>8}{'nat/Py':>8}")
    head += f"{'native us':>10}{'Cython us':>10}{'Python us':>10}{'nat/Cy':>8}{'nat/Py':>8}"
    print(head)
    for name, row in result["rows"].items():
        line = f"{name:<16}"
        if counted:
            n, r = row["instructions"], row["instruction_ratio"]
            line += (f"{n['native']:>13.0f}{n['cython']:>13.0f}{n['python']:>13.0f}"
                     f"{r['native/cython']:>8.2f}{r['native/python']:>8.2f}")
        t, r = row["time_min_us"], row["time_ratio"]
        line += (f"{t['native']:>10.3f}{t['cython']:>10.3f}{t['python']:>10.3f}"
                 f"{r['native/cython']:>8.2f}{r['native/python']:>8.2f}")
        print(line)
    if counted:
        print(f"instructions per call: callgrind over the loop only, {counted['calls']} calls, "
              f"PYTHONHASHSEED=0; {counted['runs']} run(s), "
              + ("counts repeat exactly" if counted["repeat_exactly"] else
                 "COUNTS DIFFER between runs"))
    else:
        print("(no instruction counts: valgrind not found or --no-callgrind)")
    print(f"guarded call: guard_access(target)(*{GUARDED_ARGS}), the target's call included")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--callgrind-child":
        callgrind_child(int(sys.argv[2]))
    else:
        sys.exit(__doc__)
