"""Coverage-guided fuzzing of the whole registered surface with atheris.

Each input picks a function, or a class and a sequence of method calls, and argument
values from the same generators as the property tests. A call may return or raise a
documented exception type; anything else (PanicException, another exception type, a
crash) is a finding. A failed method call must leave the object's observable state as
it was.

    python fuzz/fuzz_morvane.py -runs=500              # a short run, as in CI
    python fuzz/fuzz_morvane.py -max_total_time=3600   # a long run
"""

import os
import sys
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import atheris  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

with atheris.instrument_imports():
    import _morvane  # noqa: F401
    import hostile

warnings.simplefilter("ignore")
CALLABLES = hostile.registered()


@settings(database=None, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def fuzz_one(data):
    _, target = data.draw(st.sampled_from(CALLABLES))
    hostile.exercise(target, data, max_calls=8)


if __name__ == "__main__":
    atheris.Setup(sys.argv, fuzz_one.hypothesis.fuzz_one_input)
    atheris.Fuzz()
