"""A monitor: a reference profile and a window counted batch by batch with the reference's layout.

Each update profiles its batch with the GIL released and outside the lock, then merges it into
the window under the lock, so threads wait for each other and never fail or lose rows. The window
is a profile, so memory stays constant whatever the number of rows."""

from __future__ import annotations

import threading

from morvane.comparing.compare import check_reference
from morvane.profiling.profile import profile
from morvane.reporting.report import Report, compare
from morvane.state import format as byte_format
from morvane.state.files import atomic_write
from morvane.state.errors import FormatError, MismatchError
from morvane.state.profile import Profile, merge


class Monitor:
    """Counts batches into a window laid out like ``reference``, and compares the window with it.

    ``update`` may be called from several threads at once: each batch is counted with the GIL
    released outside the lock, then merged in, so no row is lost. Raises TypeError when ``reference``
    is not a Profile.

    >>> monitor = mv.Monitor(reference)
    >>> monitor.update(batch)
    >>> monitor.report().passed
    """

    __slots__ = ("_reference", "_current", "_lock", "_threads", "_history")

    def __init__(self, reference: Profile, *, threads=None, history=None):
        if not isinstance(reference, Profile):
            raise TypeError(f"Monitor() takes a reference Profile, got {type(reference).__name__}")
        check_reference(reference)
        if history is not None and history.reference.layout != reference.layout:
            raise MismatchError("the history keeps periods of another reference")
        self._reference = reference
        self._current = Profile._empty(reference.layout)
        self._lock = threading.Lock()
        self._threads = threads
        self._history = history

    @property
    def history(self):
        """The `mv.History` every batch is also counted into (its periods outlive `reset()`), or None."""
        return self._history

    @property
    def reference(self) -> Profile:
        """The reference profile the window is compared with."""
        return self._reference

    @property
    def current(self) -> Profile:
        """The profile of what the window holds (an immutable snapshot)."""
        with self._lock:
            return self._current

    def update(self, table) -> "Monitor":
        """Count one batch into the window (and into the history's periods, with ``history=``); any
        table kind."""
        if self._history is not None:
            # Counted once, by period: the history keeps the periods, the window their merge
            # (rows without an event time are in neither: the history counts them as undated).
            parts = [p for _, _, p in self._history.count(table)]
            batch = merge(parts) if parts else Profile._empty(self._reference.layout)
        else:
            batch = profile(table, like=self._reference, threads=self._threads, progress=False)
        with self._lock:
            self._current = self._current.merge(batch)
        return self

    def reset(self) -> None:
        """Start a new window."""
        with self._lock:
            self._current = Profile._empty(self._reference.layout)

    def merge(self, other: "Monitor") -> "Monitor":
        """A monitor whose window holds both windows (the references must share a layout)."""
        if not isinstance(other, Monitor):
            raise TypeError(f"cannot merge a Monitor with {type(other).__name__}")
        if self._reference.layout != other._reference.layout:
            raise MismatchError("monitors with different reference layouts cannot be merged")
        out = Monitor(self._reference, threads=self._threads)
        out._current = self.current.merge(other.current)
        return out

    def report(self, **compare_options) -> Report:
        """``mv.compare(reference, current, **compare_options)``."""
        return compare(self._reference, self.current, **compare_options)

    def to_bytes(self) -> bytes:
        """The monitor's bytes: its reference and its window, each a whole profile."""
        current = self.current
        return byte_format.encode_monitor(self._reference.to_bytes(), current.to_bytes(),
                                          self._reference.layout.fingerprint)

    @classmethod
    def from_bytes(cls, data) -> "Monitor":
        """A monitor from its bytes; FormatError for anything that is not a valid monitor."""
        reference_bytes, current_bytes, fingerprint = byte_format.decode_monitor(data)
        reference, current = Profile.from_bytes(reference_bytes), Profile.from_bytes(current_bytes)
        if reference.layout != current.layout or reference.layout.fingerprint != fingerprint:
            raise FormatError("the monitor's window does not share its reference's layout")
        m = cls(reference)
        m._current = current
        return m

    def save(self, path) -> None:
        """Write the bytes to ``path`` atomically."""
        atomic_write(path, self.to_bytes())

    def __reduce__(self):
        return (Monitor.from_bytes, (self.to_bytes(),))

    def __eq__(self, other):
        if not isinstance(other, Monitor):
            return NotImplemented
        return self.to_bytes() == other.to_bytes()

    __hash__ = None

    def __repr__(self) -> str:
        return f"<morvane.Monitor window of {self.current.n_rows} rows, reference of {self._reference.n_rows}>"


def load_monitor(path) -> Monitor:
    """The monitor saved at ``path``; FormatError when the file holds no valid monitor."""
    with open(path, "rb") as f:
        return Monitor.from_bytes(f.read())
