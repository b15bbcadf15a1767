"""Loading saved state: a profile or a monitor, told apart by the file's first bytes."""

from __future__ import annotations

from morvane.monitor import Monitor, load_monitor
from morvane.state.format import MONITOR_MAGIC
from morvane.state.profile import Profile, load_profile

__all__ = ["load", "load_monitor", "load_profile"]


def load(path) -> Profile | Monitor:
    """The profile or monitor saved at ``path`` (``load_profile`` and ``load_monitor`` say which, for
    type checkers); FormatError when the file holds neither."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] == MONITOR_MAGIC:
        return Monitor.from_bytes(data)
    return Profile.from_bytes(data)
