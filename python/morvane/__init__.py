"""morvane: production monitoring for machine-learning models.

Profile any table into exact, mergeable, persistent statistics; compare a current window with a
reference; stream batches into a thread-safe monitor."""

from morvane._errors import FormatError, MismatchError
from morvane._format import load
from morvane._layout import Layout
from morvane._monitor import Monitor
from morvane._profile import Profile, merge, profile
from morvane._rules import above, at_least, at_most, below, one_of

__all__ = [
    "FormatError", "MismatchError", "Layout", "Monitor", "Profile", "above", "at_least", "at_most", "below",
    "compare", "load", "merge", "one_of", "profile",
]


def __getattr__(name):
    # Comparing lives in its own module, loaded on first use.
    if name in ("compare", "Report", "Check"):
        import importlib

        for module in ("morvane._compare", "morvane._report"):
            try:
                mod = importlib.import_module(module)
            except ImportError:
                continue
            if hasattr(mod, name):
                return getattr(mod, name)
    raise AttributeError(f"module 'morvane' has no attribute {name!r}")
