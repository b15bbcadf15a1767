"""Every registered function and class, called with arbitrary arguments: each call
returns or raises a documented exception type, never a panic or a crash, and a failed
method call leaves its object's observable state as it was."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hostile
from conftest import SANITIZED

pytestmark = pytest.mark.filterwarnings("ignore")

SETTINGS = settings(
    max_examples=10 if SANITIZED else 40,
    deadline=None,
    suppress_health_check=list(HealthCheck),
    derandomize=True,
    database=None,
)

FUNCTIONS = [(n, f) for n, f in hostile.registered() if not isinstance(f, type)]
CLASSES = [(n, c) for n, c in hostile.registered() if isinstance(c, type)]


@pytest.mark.parametrize("name, fn", FUNCTIONS, ids=[n for n, _ in FUNCTIONS])
@SETTINGS
@given(data=st.data())
def test_functions_never_panic(name, fn, data):
    hostile.exercise(fn, data, max_calls=1)


@pytest.mark.parametrize("name, cls", CLASSES, ids=[n for n, _ in CLASSES])
@SETTINGS
@given(data=st.data())
def test_methods_never_panic_and_failures_change_nothing(name, cls, data):
    hostile.exercise(cls, data, max_calls=6)
