"""Puts the Core ML runtime stand-in (libcoremlpython.py beside this file) behind coremltools.

    sys.path.insert(0, "<checkout>/platform/coreml"); import coreml_standin; coreml_standin.install()

must run before coremltools is first imported (coremltools looks for its runtime proxy once, at import).
Where coremltools has a real `coremltools.libcoremlpython` (macOS), that one is imported and the
stand-in stays out of the way. For tests only: never installed with the package.
"""
import importlib.abc
import importlib.machinery
import importlib.util
import os
import sys

MODULE = "coremltools.libcoremlpython"
_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libcoremlpython.py")


class _Finder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path, target=None):
        if fullname != MODULE:
            return None
        if importlib.machinery.PathFinder.find_spec(fullname, path) is not None:
            return None  # the real runtime proxy is installed: it wins
        return importlib.util.spec_from_file_location(fullname, _SOURCE)


def install():
    """Registers the finder (once). Fails when coremltools was imported before without a runtime."""
    if any(isinstance(f, _Finder) for f in sys.meta_path):
        return
    if "coremltools" in sys.modules and MODULE not in sys.modules:
        raise RuntimeError("coremltools was imported before the Core ML runtime stand-in was installed")
    sys.meta_path.insert(0, _Finder())


def active():
    """The stand-in module when it is the runtime proxy coremltools loaded, else None."""
    module = sys.modules.get(MODULE)
    return module if module is not None and getattr(module, "__file__", None) == _SOURCE else None
