"""The type stubs agree with the modules and type the callers; the wheel (a full
build of all six modules from a clean copy, 5 to 30 s) ships self-contained modules."""
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pandas as pd
import pytest

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
    run(sys.executable, "-m", "mypy", "--strict", "--follow-untyped-imports",
        "tests/typing_sample.py")  # pandas has no stubs: mypy reads its sources


def test_stubs_match_the_modules(tmp_path):
    (tmp_path / "mypy.ini").write_text("[mypy]\nignore_missing_imports = True\n")
    run(sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(tmp_path / "mypy.ini"),
        *[f"quorvane.{package}.{name}" for package, name in NAMES])


@pytest.mark.skipif(not all(map(shutil.which, ("git", "readelf", "nm"))), reason="no binutils")
def test_wheel_holds_stubs_and_self_contained_modules(tmp_path):  # slow: a full build
    listed = run("git", "ls-files", "-z", "--cached", "--others", "--exclude-standard")
    for name in filter(None, listed.split("\0")):  # no in-place builds or caches
        if (ROOT / name).is_file():
            (tmp_path / "src" / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, tmp_path / "src" / name)
    run(sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
        "--no-index", "-w", str(tmp_path / "dist"), str(tmp_path / "src"),
        env={"PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"]})
    wheel, = (tmp_path / "dist").glob("quorvane-*.whl")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        assert {"quorvane/py.typed"} | {f"quorvane/{package}/{name}{ext}" for package, name
                                        in NAMES for ext in (".pyi", suffix)} <= names
        assert not [name for name in names if name.endswith(".cpp")]
        for package, name in NAMES:
            so = archive.extract(f"quorvane/{package}/{name}{suffix}", tmp_path / "unpacked")
            needed = [line.split("[")[1][:-1] for line in run("readelf", "-d", so).splitlines()
                      if "(NEEDED)" in line]
            assert set(needed) <= {"libc.so.6", "libpthread.so.0"}, (name, needed)
            assert run("nm", "-D", "--defined-only", so).split()[2::3] == [f"PyInit_{name}"]


def test_declared_floors_are_the_tested_ones():
    # CI installs requirements/floors.txt exactly: pyproject.toml must declare
    # those versions as the lowest it accepts, no lower and no higher.
    pyproject = (ROOT / "pyproject.toml").read_text()
    declared = pyproject.split("dependencies = [", 1)[1].split("]", 1)[0]
    declared = sorted(line.strip().strip('",') for line in declared.splitlines()
                      if line.strip().startswith('"'))
    floors = (ROOT / "requirements" / "floors.txt").read_text().splitlines()
    floors = sorted(line.replace("==", ">=") for line in floors
                    if line and not line.startswith(("#", "-r")))
    assert declared == floors
