"""Terms of one side of a comparison, computed once per statistics object and reused.

A history compares every period (and every segment of it) with one reference: the reference's own
terms (its ranking metrics and their variances, its shares of each bin) never change, so they are
kept beside its statistics, keyed by the object itself. The keys are weak: the terms go when the
statistics do, so memory stays bounded by the profiles alive."""

from __future__ import annotations

import threading
import weakref

_TERMS: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
_LOCK = threading.Lock()


def once(owner, name: str, compute):
    """``compute()`` the first time for (owner, name), the kept value afterwards. The value must not
    refer to `owner` (it would then never be released)."""
    with _LOCK:
        found = _TERMS.get(owner)
        if found is not None and name in found:
            return found[name]
    value = compute()  # outside the lock: two threads may both compute, and keep the same value
    with _LOCK:
        return _TERMS.setdefault(owner, {}).setdefault(name, value)
