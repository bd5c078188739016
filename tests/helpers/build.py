"""Builds the test-only helper extensions next to the tests (never installed).

Each helper is compiled straight from its sources with the same warnings as the
package, into ``build/test-helpers/<venv>`` under the repository, and rebuilt only
when a source or header is newer than the built file.  Helpers that need the
numerical core link the static library of the package's own build
(``TAVORIN_BUILD_DIR``; unless set, ``build/meson-X.Y`` for the running
interpreter, as ``./dev`` lays it out).  Extra flags (for example a
sanitizer build) come from ``TAVORIN_TEST_CXXFLAGS``.
"""

import importlib.util
import os
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src" / "tavorin"
HELPERS = Path(__file__).resolve().parent
OUT = ROOT / "build" / "test-helpers" / Path(sys.prefix).name
CORE_LIBRARY = (
    ROOT
    / os.environ.get("TAVORIN_BUILD_DIR", "build/meson-{}.{}".format(*sys.version_info[:2]))
    / "src/tavorin/core/libtavorin_core.a"
)

CXXFLAGS = [
    "-std=c++17",
    "-O2",
    "-g",
    "-Wall",
    "-Wextra",
    "-Werror",
    "-fPIC",
    "-shared",
    "-fvisibility=hidden",
    # The NumPy header target of the package's own build (meson.build).
    "-DNPY_TARGET_VERSION=NPY_1_19_API_VERSION",
]


def _newest(paths):
    return max(p.stat().st_mtime for p in paths)


def build(name, sources, include_dirs=(), libraries=()):
    """Compiles ``sources`` (paths) into the extension ``name``, linked with the
    static ``libraries``, and imports it."""
    extra = shlex.split(os.environ.get("TAVORIN_TEST_CXXFLAGS", ""))
    out = OUT / ("sanitized" if extra else "plain")
    out.mkdir(parents=True, exist_ok=True)
    target = out / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    deps = (
        [Path(s) for s in sources]
        + [Path(lib) for lib in libraries]
        + list(SRC.glob("**/*.hpp"))
        + list(HELPERS.glob("*.h*"))
    )
    stamp = target.with_suffix(".flags")
    flags_text = " ".join(extra)
    stale = (
        not target.exists()
        or _newest(deps) > target.stat().st_mtime
        or not stamp.exists()
        or stamp.read_text() != flags_text
    )
    if stale:
        cmd = (
            [os.environ.get("CXX", "g++")]
            + CXXFLAGS
            + extra
            + ["-I" + sysconfig.get_paths()["include"], "-I" + str(SRC)]
            + ["-I" + str(d) for d in include_dirs]
            + [str(s) for s in sources]
            + [str(lib) for lib in libraries]
            + ["-o", str(target) + ".tmp"]
        )
        subprocess.run(cmd, check=True)
        os.replace(str(target) + ".tmp", target)
        stamp.write_text(flags_text)
    if name in sys.modules:
        return sys.modules[name]
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def build_viewhooks():
    """The test-only entry points into the views and the format checker
    (helpers/viewhooks.cpp), over the views' own sources and the core library."""
    return build(
        "_viewhooks",
        [
            HELPERS / "viewhooks.cpp",
            SRC / "operators/views.cpp",
            SRC / "operators/format_errors.cpp",
        ],
        libraries=[CORE_LIBRARY],
    )
