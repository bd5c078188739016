"""`pip install` of the source tree and of the wheel that `python -m build` makes from
its sdist, each into a fresh venv, gives a module that imports silently and works;
the wheel also passes the projection and Dask tests there."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

CHECK = """
import numpy as np
import tavorin.operators as m
y = np.array([[0.2, 0.5, 0.9]])
assert m.proj_csimplex(y, 1.0, 0.0, 1.0) is None
assert abs(y.sum() - 1.0) < 1e-4 and y.min() >= 0.0, y
print(m.__file__)
"""

# The version has one source, the type information is installed, the core
# package does not need Dask, and the docs' packages are no requirement of it,
# not even an extra's.
CHECK_PACKAGE = """
import importlib.metadata, pathlib, sys
import tavorin
assert tavorin.__version__ == importlib.metadata.version("tavorin"), tavorin.__version__
docs = ("sphinx", "numpydoc", "myst-parser", "pydata-sphinx-theme")
requires = importlib.metadata.requires("tavorin") or []
assert not [r for r in requires if r.lower().startswith(docs)], requires
assert "dask" not in sys.modules
here = pathlib.Path(tavorin.__file__).parent
assert all((here / f).is_file() for f in ("py.typed", "__init__.pyi", "operators.pyi"))
try:
    import dask
except ImportError:
    try:
        import tavorin.dask
    except ImportError as exc:
        assert str(exc) == "tavorin.dask needs Dask's arrays: pip install 'tavorin[dask]'", exc
    else:
        raise AssertionError("tavorin.dask imported without Dask")
"""


def pinned(name):
    text = (ROOT / "requirements-dev.txt").read_text()
    return re.search(rf"^{name}==\S+", text, re.M).group(0)


@pytest.fixture(scope="module")
def pip_env(tmp_path_factory):
    """The environment for pip and build: the development pins as constraints, so
    that pip takes the tested releases at once instead of trying every newer one
    (the local index does not say which interpreters a release supports)."""
    constraints = tmp_path_factory.mktemp("pins") / "constraints.txt"
    text = (ROOT / "requirements-dev.txt").read_text()
    constraints.write_text(re.sub(r"^([\w-]+)\[[\w,]+\]", r"\1", text, flags=re.M))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    env["PIP_CONSTRAINT"] = str(constraints)
    env["PATH"] = f"{Path(sys.executable).parent}:{os.environ['PATH']}"
    return env


@pytest.fixture(scope="module")
def dist(tmp_path_factory, pip_env):
    """`python -m build`: the sdist, then, in a fresh isolated environment, a wheel built
    from it (what `pip install` of the sdist does before installing), repaired by auditwheel."""
    out = tmp_path_factory.mktemp("dist")
    subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(out), str(ROOT)],
        env=pip_env,
        check=True,
        capture_output=True,
        timeout=900,
    )
    (wheel,) = out.glob("*.whl")
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", str(wheel)],
        env=pip_env,
        check=True,
        capture_output=True,
        text=True,
    )
    tag = re.search(r'platform tag:\s+"(manylinux_\d+_\d+_x86_64)"', shown.stdout).group(1)
    subprocess.run(
        [sys.executable, "-m", "auditwheel", "repair", "-w", str(out / "repaired"), str(wheel)],
        env=pip_env,
        check=True,
        capture_output=True,
    )
    (repaired,) = (out / "repaired").glob("*.whl")
    assert repaired.name.endswith(f"-{tag}.whl"), (repaired.name, tag)
    assert len(list(out.glob("tavorin-*.tar.gz"))) == 1
    return repaired


# source -> (what pip installs, the test files then run from the checkout).  The
# source tree's build has no test helpers (pip builds only the package): the
# tests that need them must skip, not fail.
SOURCES = {
    "source tree": (lambda dist: str(ROOT), ["test_core.py", "test_views.py"]),
    "wheel from the sdist": (
        lambda dist: f"tavorin[dask] @ {dist.as_uri()}",
        ["test_projection.py", "test_dask.py"],
    ),
}


# The sdist and the wheel's build from it are the same on every interpreter, and
# each check is a full build of the package: they are checked on the newest
# interpreters only (`pip install .` above runs on every one).
SDIST_ON_NEWEST = pytest.mark.skipif(
    sys.version_info < (3, 12), reason="the sdist is checked on CPython 3.12 and later"
)


@pytest.mark.unsanitized
@pytest.mark.parametrize(
    "source",
    [
        pytest.param(name, marks=SDIST_ON_NEWEST) if name.startswith("wheel") else name
        for name in SOURCES
    ],
)
def test_pip_install_into_a_fresh_venv(source, tmp_path, request, pip_env):
    spec, tests = SOURCES[source]
    dist = request.getfixturevalue("dist") if source != "source tree" else None
    venv = tmp_path / "venv"
    subprocess.run([sys._base_executable, "-m", "venv", str(venv)], check=True)
    python = venv / "bin" / "python"
    # A build directory outside the checkout, so this does not disturb the
    # development build.
    subprocess.run(
        [
            str(python),
            "-m",
            "pip",
            "install",
            "-q",
            "--disable-pip-version-check",
            f"--config-settings=build-dir={tmp_path / 'build'}",
            spec(dist),
        ]
        + ([pinned("pytest")] if tests else []),
        env=pip_env,
        check=True,
        capture_output=True,
        timeout=900,
    )
    assert not (tmp_path / "build" / "tests" / "helpers").exists()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    env["TAVORIN_BUILD_DIR"] = str(tmp_path / "build")
    out = subprocess.run(
        [str(python), "-X", "dev", "-W", "error", "-c", CHECK + CHECK_PACKAGE],
        cwd=tmp_path,
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    assert out.stdout.strip().startswith(str(venv))
    assert out.stderr == ""
    if tests:
        run = subprocess.run(
            [
                str(python),
                "-X",
                "dev",
                "-W",
                "error",
                "-m",
                "pytest",
                "-q",
                "-p",
                "no:cacheprovider",
            ]
            + ["-m", "not unsanitized", *(str(ROOT / "tests" / t) for t in tests)],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            timeout=600,
        )
        assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
        if source == "source tree":
            assert "skipped" in run.stdout, run.stdout[-3000:]


@pytest.mark.unsanitized
@pytest.mark.parametrize(
    "platform, archs",
    [
        ("linux", ["manylinux_x86_64", "manylinux_aarch64"]),
        ("macos", ["macosx_x86_64", "macosx_arm64"]),
        ("windows", ["win_amd64"]),
    ],
)
def test_release_wheels_for_every_supported_interpreter(platform, archs):
    """What cibuildwheel would build from pyproject.toml (it cannot run here)."""
    from packaging.specifiers import SpecifierSet

    text = (ROOT / "pyproject.toml").read_text()
    supported = SpecifierSet(re.search(r'^requires-python = "(.*)"', text, re.M).group(1))
    minors = [m for m in range(9, 14) if f"3.{m}" in supported]
    shown = subprocess.run(
        [Path(sys.executable).parent / "cibuildwheel", "--print-build-identifiers"]
        + ["--platform", platform],
        cwd=ROOT,
        check=True,
        capture_output=True,
        text=True,
    )
    expected = sorted(f"cp3{m}-{arch}" for m in minors for arch in archs)
    assert sorted(shown.stdout.split()) == expected
