"""The reference: one page per public module, written from its ``__all__`` at build time.

A function added to a module's ``__all__`` gets its entry without any edit
here.  Two things the docstrings alone cannot give:

- ``tavorin.operators.proj_csimplex`` is a built-in whose ``__doc__`` is
  ``None`` by its contract; its text is the docstring in the package's stub,
  ``operators.pyi``, read from there and rendered as numpydoc renders one.
- The examples of ``tavorin.jax`` and ``tavorin.torch`` need those
  frameworks.  Where one does not import, its page is still built (the
  framework is stood in for) and its examples are shown but not run; the
  build prints why.
"""

import ast
import importlib
import importlib.util
from pathlib import Path

from numpydoc.docscrape_sphinx import SphinxDocString

MODULES = {
    "tavorin": "The NumPy-style projection and its derivatives.",
    "tavorin.operators": "The in-place operator on 2-D float64 arrays.",
    "tavorin.dask": "The projection of Dask arrays, chunk by chunk.",
    "tavorin.jax": "The projection as a differentiable JAX function.",
    "tavorin.torch": "The projection as a differentiable PyTorch function.",
}

# Compiled modules whose docstrings live in their stubs.
STUBBED = {"tavorin.operators"}

# Which framework each module's examples need.
FRAMEWORKS = {"tavorin.dask": "dask.array", "tavorin.jax": "jax", "tavorin.torch": "torch"}


def _importable(name):
    try:
        importlib.import_module(name)
    except Exception:  # a broken install counts as missing, whatever it raises
        return False
    return True


HAVE_DASK = _importable("dask.array")
HAVE_JAX = _importable("jax")
HAVE_TORCH = _importable("torch")
_HAVE = {"dask.array": HAVE_DASK, "jax": HAVE_JAX, "torch": HAVE_TORCH}


def stub_docstrings(module):
    """{function name: docstring} from the stub of ``module`` shipped in the package."""
    spec = importlib.util.find_spec("tavorin")
    stub = Path(spec.origin).parent / (module.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text())
    return {
        node.name: ast.get_docstring(node) or ""
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def stub_signatures(module):
    """{function name: "(args)"} from the same stub, annotations left out."""
    spec = importlib.util.find_spec("tavorin")
    stub = Path(spec.origin).parent / (module.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text())
    signatures = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            for arg in node.args.args + node.args.kwonlyargs:
                arg.annotation = None
            signatures[node.name] = "(" + ast.unparse(node.args) + ")"
    return signatures


def public_names(module):
    """The module's ``__all__``, read from its source (a framework it needs may not import).

    The compiled module has no ``__all__``: its names are the functions of its stub.
    """
    path = Path(importlib.util.find_spec(module).origin)
    if path.suffix != ".py":
        return list(stub_docstrings(module))
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.Assign) and any(
            isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets
        ):
            return list(ast.literal_eval(node.value))
    raise ValueError(f"{module} has no __all__ for its reference page")


def page(module):
    names = public_names(module)
    title = f"``{module}``"
    lines = [title, "=" * len(title), "", f".. module:: {module}", "", MODULES[module], ""]
    framework = FRAMEWORKS.get(module)
    if framework and not _HAVE[framework]:
        lines += [
            ".. note::",
            "",
            f"   This page was built where ``{framework}`` does not import, so its",
            "   examples are shown but were not run.",
            "",
        ]
    if module in STUBBED:
        # autodoc cannot give a built-in without __doc__ the stub's signature,
        # so the entry is written out, its sections rendered as numpydoc does.
        docs, signatures = stub_docstrings(module), stub_signatures(module)
        for name in names:
            lines += [f".. function:: {name}{signatures[name]}", f"   :module: {module}", ""]
            rendered = str(SphinxDocString(docs[name], config={"show_class_members": False}))
            lines += [("   " + line).rstrip() for line in rendered.splitlines()] + [""]
        return "\n".join(lines)
    lines += [".. autosummary::", ""] + [f"   {name}" for name in names] + [""]
    for name in names:
        lines += [f".. autofunction:: {module}.{name}", ""]
    return "\n".join(lines)


def write_pages(app):
    out = Path(app.srcdir) / "reference" / "generated"
    out.mkdir(parents=True, exist_ok=True)
    missing = [name for name, have in _HAVE.items() if not have]
    if missing:
        mock = [name.split(".")[0] for name in missing]
        app.config.autodoc_mock_imports = list(app.config.autodoc_mock_imports) + mock
        print(f"docs: {', '.join(missing)} not importable here: their examples are shown, not run")
    for module in MODULES:
        path = out / f"{module}.rst"
        text = page(module)
        # Rewritten only when changed, so an incremental build stays incremental.
        if not path.exists() or path.read_text() != text:
            path.write_text(text)


def unrun_examples(app, what, name, obj, options, lines):
    """A missing framework's examples are marked to be skipped (the flag is not shown)."""
    framework = FRAMEWORKS.get(name.rpartition(".")[0])
    if framework and not _HAVE[framework]:
        lines[:] = [
            line + "  # doctest: +SKIP" if line.lstrip().startswith(">>>") else line
            for line in lines
        ]


def setup(app):
    app.connect("builder-inited", write_pages)
    # Before numpydoc turns the sections into reST (its own priority is 500).
    app.connect("autodoc-process-docstring", unrun_examples, priority=100)
    return {"parallel_read_safe": True}
