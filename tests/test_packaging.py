"""The type stubs agree with the modules and type the callers; the modules
are self-contained; Python started at the top of the tree imports the
installed package, which is this tree's; the wheel (a full build of all six
modules from a clean copy, 5 to 30 s) ships the package's files and
modules, the stubs and the license, and compiles common/ once."""
import collections
import importlib.util
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pandas as pd
import pytest

import quorvane
from conftest import PACKAGE, PYTHON, in_child

ROOT = Path(__file__).resolve().parent.parent
NAMES = [("process_stock", m) for m in ("priceBars", "orderFlow", "foreign", "dealerDesk",
                                        "dividend")] + [("config", "guard_access")]


def run(*args, env=None):
    env = dict(os.environ, MYPYPATH=str(ROOT), PYTHONPATH=str(ROOT), **(env or {}))
    done = subprocess.run(args, cwd=ROOT, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done.stdout


@pytest.mark.skipif(tuple(map(int, pd.__version__.split(".")[:2])) < (1, 4),
                    reason="mypy cannot analyse pandas 1.3: it finds no pandas.DataFrame")
def test_stubs_type_the_callers():
    run(PYTHON, "-m", "mypy", "--strict", "--follow-untyped-imports",
        "tests/typing_sample.py")  # pandas has no stubs: mypy reads its sources


def test_stubs_match_the_modules(tmp_path):
    (tmp_path / "mypy.ini").write_text("[mypy]\nignore_missing_imports = True\n")
    run(PYTHON, "-m", "mypy.stubtest", "--mypy-config-file", str(tmp_path / "mypy.ini"),
        *[f"quorvane.{package}.{name}" for package, name in NAMES])


def assert_self_contained(so, name):
    """Needs nothing but the C library and exports nothing but PyInit_<name>."""
    needed = [line.split("[")[1][:-1] for line in run("readelf", "-d", so).splitlines()
              if "(NEEDED)" in line]
    assert set(needed) <= {"libc.so.6", "libpthread.so.0"}, (name, needed)
    assert run("nm", "-D", "--defined-only", so).split()[2::3] == [f"PyInit_{name}"]


def test_children_run_this_interpreter_and_package():
    # Under emulation the kernel cannot start the interpreter by itself: the
    # children start through QUORVANE_TEST_PYTHON, and must be the same.
    here = [sys.executable, sys.version, platform.machine(), quorvane.__file__]
    assert in_child("import json, platform, sys, quorvane; print(json.dumps("
                    "[sys.executable, sys.version, platform.machine(), quorvane.__file__]))") == here


FIRST_CALL = ("import json, quorvane\n"
              "from quorvane.process_stock.priceBars import get_priceBars\n"
              "print(json.dumps([quorvane.__file__, get_priceBars.__module__]))\n")


@pytest.mark.parametrize("how", ["-c", "stdin"])
def test_python_started_at_the_top_imports_the_installed_package(how):
    # As README has a reader do: the first call in Python started at the top
    # of the clone, with nothing set. The top holds no quorvane/ to shadow
    # the installed package (src/quorvane has no built modules).
    env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    args, stdin = ([PYTHON, "-c", FIRST_CALL], None) if how == "-c" else ([PYTHON], FIRST_CALL)
    done = subprocess.run(args, input=stdin, cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [quorvane.__file__, "quorvane.process_stock.priceBars"]
    assert not (ROOT / "quorvane").exists()


@pytest.mark.skipif(not (ROOT / "src" / "quorvane").is_dir(), reason="needs the source tree")
def test_installed_package_is_this_trees():
    # ./dev installs the tree again only when something in it changed: what
    # runs must be the tree's package as it is now, file for file.
    source = ROOT / "src" / "quorvane"
    sources = {path.relative_to(source).as_posix() for path in source.rglob("*")
               if path.is_file() and path.suffix not in (".cpp", ".pyc", ".so")}
    installed = {path.relative_to(PACKAGE).as_posix() for path in PACKAGE.rglob("*")
                 if path.is_file() and path.suffix not in (".pyc", ".so")}
    assert installed == sources
    changed = [name for name in sources
               if (source / name).read_bytes() != (PACKAGE / name).read_bytes()]
    assert not changed, f"the installed package is not this tree's: ./dev build installs it ({changed})"
    assert sorted(path.name.split(".")[0] for path in PACKAGE.rglob("*.so")) == sorted(
        name for _, name in NAMES)


@pytest.mark.skipif(not (ROOT / "src" / "quorvane").is_dir(), reason="needs the source tree")
def test_suite_refuses_the_source_folder():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "src"), str(ROOT)]))
    done = subprocess.run([PYTHON, "-m", "pytest", "-p", "no:cacheprovider", "--collect-only",
                           "-q", "tests/test_frame.py"], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 3, done.stdout + done.stderr
    assert f"quorvane was imported from {ROOT / 'src' / 'quorvane'}, not from where pip " \
           f"installed it ({PACKAGE})" in done.stdout + done.stderr


@pytest.mark.skipif(not all(map(shutil.which, ("readelf", "nm"))), reason="no binutils")
def test_modules_in_use_are_self_contained():
    """The installed build, or under ./dev test-wheel the installed wheel's modules."""
    for package, name in NAMES:
        assert_self_contained(importlib.util.find_spec(f"quorvane.{package}.{name}").origin, name)


@pytest.mark.skipif(not all(shutil.which(tool, path=os.path.dirname(sys.executable))
                            for tool in ("cmake", "ninja")), reason="no cmake")
@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").is_file(), reason="needs the source tree")
def test_build_without_a_compiler_says_what_to_do(tmp_path):
    tools = os.path.dirname(sys.executable)
    done = subprocess.run([os.path.join(tools, "cmake"), "-S", str(ROOT), "-B", str(tmp_path),
                           "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={os.path.join(tools, 'ninja')}",
                           f"-DPython_EXECUTABLE={PYTHON}"],
                          env=dict(os.environ, CXX="/bin/false"), capture_output=True, text=True)
    assert done.returncode != 0
    message = " ".join(done.stderr.split())
    assert "no working C++ compiler found (CXX=/bin/false)" in message
    assert "install a prebuilt wheel" in message and "(pip install FILE)" in message


@pytest.mark.skipif(not all(map(shutil.which, ("git", "readelf", "nm"))), reason="no binutils")
@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").is_file(), reason="needs the source tree")
def test_wheel_holds_stubs_and_self_contained_modules(tmp_path):  # slow: a full build
    listed = run("git", "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    for name in filter(None, listed.split("\0")):  # no builds or caches
        if (ROOT / name).is_file():
            (tmp_path / "src" / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, tmp_path / "src" / name)
    run(PYTHON, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
        "--no-index", "-w", str(tmp_path / "dist"), str(tmp_path / "src"),
        f"--config-settings=build-dir={tmp_path / 'build'}",
        env={"PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]})
    # Every step ninja ran is in its log: each common/ source compiled once.
    steps = [line.split("\t")[3] for line in
             (tmp_path / "build" / ".ninja_log").read_text().splitlines()[1:]]
    assert collections.Counter(Path(o).name for o in steps if "/common/" in o) == {
        f"{source.name}.o": 1 for source in (ROOT / "common").glob("*.cpp")}
    wheel, = (tmp_path / "dist").glob("quorvane-*.whl")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        assert {"quorvane/py.typed"} | {f"quorvane/{package}/{name}{ext}" for package, name
                                        in NAMES for ext in (".pyi", suffix)} <= names
        # The package's files as src/ holds them, its sources aside, and the modules.
        source = ROOT / "src"
        assert {name for name in names if not name.startswith("quorvane-")} == {
            path.relative_to(source).as_posix() for path in (source / "quorvane").rglob("*")
            if path.is_file() and path.suffix not in (".cpp", ".pyc")} | {
            f"quorvane/{package}/{name}{suffix}" for package, name in NAMES}
        assert not [name for name in names if name.endswith(".cpp")]
        assert [name for name in names if name.endswith(".dist-info/licenses/LICENSE")]
        for package, name in NAMES:
            so = archive.extract(f"quorvane/{package}/{name}{suffix}", tmp_path / "unpacked")
            assert_self_contained(so, name)


@pytest.mark.skipif(not (ROOT / "requirements").is_dir(), reason="needs the source tree")
def test_declared_floors_are_the_tested_ones():
    # CI installs requirements/floors.txt exactly: pyproject.toml must declare
    # those versions as the lowest it accepts, no lower and no higher, for
    # the dependencies and for the cache extra.
    pyproject = (ROOT / "pyproject.toml").read_text()
    declared = []
    for start in ("dependencies = [", "cache = ["):
        listed = pyproject.split(start, 1)[1].split("]", 1)[0]
        declared += [line.strip().strip('",') for line in listed.splitlines()
                     if line.strip().startswith('"')]
    declared.sort()
    floors = (ROOT / "requirements" / "floors.txt").read_text().splitlines()
    floors = sorted(line.replace("==", ">=") for line in floors
                    if line and not line.startswith(("#", "-r")))
    assert declared == floors


@pytest.mark.skipif(not (ROOT / "dev").is_file(), reason="needs the source tree")
def test_classifiers_name_each_version_that_gets_a_wheel():
    built = re.search(r"versions=\(([0-9. ]+)\)", (ROOT / "dev").read_text()).group(1).split()
    declared = re.findall(r'"Programming Language :: Python :: (3\.[0-9]+)"',
                          (ROOT / "pyproject.toml").read_text())
    assert declared == built
