"""The package as a type checker sees it: the examples and a user's script
pass mypy --strict against the shipped stubs and annotations."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).parent.parent


def test_examples_and_a_user_script_pass_mypy_strict():
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"),
         str(ROOT / "examples"), str(ROOT / "tests" / "typing" / "user_script.py")],
        capture_output=True, text=True, timeout=300, cwd=ROOT.parent)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_package_own_python_passes_mypy_strict():
    # From the source tree, where the extension modules are their stubs.
    sources = [str(path) for path in (ROOT / "vexasdk").glob("*.py")]
    sources += [str(ROOT / "vexasdk" / package) for package in ("sim", "nexus")]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache-source"),
         *sources], capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_user_script_runs():
    result = subprocess.run([sys.executable, "-P", str(ROOT / "tests" / "typing" / "user_script.py")],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert " blocks, " in result.stdout


def test_readmes_snippets_pass_mypy_strict_and_a_misspelt_mode_does_not(tmp_path):
    from test_readme import examples

    for index, code in enumerate(examples()):
        (tmp_path / f"snippet_{index}.py").write_text(code)
    (tmp_path / "misspelt.py").write_text("import vexasdk\n\nvexasdk.open_device().acquire('dd_tao_tot')\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"),
         "--disable-error-code", "import-untyped", "--disable-error-code", "no-untyped-call",  # Dask's
         *sorted(str(p) for p in tmp_path.glob("*.py"))],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "misspelt.py:3" in errors[0] and "acquire" in errors[0], result.stdout
