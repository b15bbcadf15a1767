"""morvane: production monitoring for machine-learning models.

Profile any table into exact, mergeable, persistent statistics (``profile``); compare a current
window with a reference (``compare``, a ``Report``); stream batches into a thread-safe ``Monitor``;
keep one exact profile per period in a ``History`` and compare every period (a ``Timeline``).

>>> import morvane as mv
>>> reference = mv.profile(training, target="label", prediction="score", task="binary")
>>> report = mv.compare(reference, mv.profile(today, like=reference))
>>> report.passed
"""

from importlib.metadata import version as _version

from morvane.alerts import AlertError, notify, push
from morvane.comparing.checks import Check
from morvane.comparing.explain import explain
from morvane.history import History
from morvane.loading import load
from morvane.monitor import load_monitor
from morvane.monitor import Monitor
from morvane.overview import index_html
from morvane.profiling.profile import profile
from morvane.reporting.report import Report, compare
from morvane.reporting.changes import Change
from morvane.reporting.timeline import Timeline
from morvane.state.errors import FormatError, MismatchError
from morvane.state.layout import Layout
from morvane.state.profile import Profile, load_profile, merge
from morvane.state.quality import Rule
from morvane.state.rules import above, at_least, at_most, below, one_of
from morvane.state.suggest_rules import suggest_rules

__version__ = _version("morvane")

__all__ = [
    "AlertError", "Change", "Check", "FormatError", "History", "MismatchError", "Layout", "Monitor", "Profile", "Report",
    "Rule", "Timeline", "__version__", "above", "at_least", "at_most", "below", "compare", "explain", "index_html", "load",
    "load_monitor", "load_profile", "merge", "notify", "one_of", "profile", "push", "suggest_rules",
]
