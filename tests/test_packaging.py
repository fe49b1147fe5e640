"""The type stubs agree with the modules and type the callers; the modules
are self-contained; the wheel (a full build of all six modules from a clean
copy, 5 to 30 s) ships them, the stubs and the license, and compiles common/
once."""
import collections
import importlib.util
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
from conftest import PYTHON, in_child

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


@pytest.mark.skipif(not all(map(shutil.which, ("readelf", "nm"))), reason="no binutils")
def test_modules_in_use_are_self_contained():
    """The in-place build, or under ./dev test-wheel the installed wheel's modules."""
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
    for name in filter(None, listed.split("\0")):  # no in-place builds or caches
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
