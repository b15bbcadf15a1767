"""Shared helpers for the test suite: exact float32 widening and common fixtures."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# A loaded machine generates examples slowly; time is not what these tests check.
settings.register_profile("morvane", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("morvane")

import _morvane


def f32(x):
    """The Python float that a 32-bit metric value becomes: x rounded to float32, widened exactly."""
    with np.errstate(over="ignore"):
        return float(np.float32(x))


@pytest.fixture
def mv():
    return _morvane


def raises_with(exc, message):
    """pytest.raises matching the whole message exactly."""
    import re

    return pytest.raises(exc, match="^" + re.escape(message) + "$")


# Under AddressSanitizer an allocation of terabytes aborts the process instead of
# failing, so tests that provoke MemoryError on purpose are skipped there.
SANITIZED = bool(os.environ.get("MORVANE_SANITIZED"))
huge_allocation = pytest.mark.skipif(SANITIZED, reason="huge allocations abort under AddressSanitizer")
