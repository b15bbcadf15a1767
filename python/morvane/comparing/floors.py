"""Effects that matter: `min_effect={metric or family: floor}` turns a check's question from "did it
change at all" into "did it change by more than the floor, toward worse". A floor is a hypothesis,
not a cut-off: the check's p-value becomes the larger of its own test's and of the one-sided normal
test that the change (oriented toward worse) exceeds the floor, given the change's standard error;
with no standard error the floor cannot be tested and the check does not fail.

Units: performance metrics in their own units ({"Accuracy": 0.02}), data checks in rates
({"Missing": 0.01}: the share rose by more than a point), drift as the distance every drift check
reports (`details["distance"]`, the total variation distance: the share of rows that would have to
move to turn one distribution into the other)."""

from __future__ import annotations

import math

from morvane import _native
from morvane.comparing.checks import Pending


def check_floors(min_effect, families, metrics) -> dict:
    """`min_effect=` validated: {family or metric name: finite floor >= 0}."""
    if min_effect is None:
        return {}
    if not isinstance(min_effect, dict):
        raise TypeError("min_effect= takes {metric or family: floor}, e.g. {\"Accuracy\": 0.02, \"drift\": 0.1}")
    out = {}
    for name, floor in min_effect.items():
        if name not in families and name not in metrics:
            raise ValueError(f"min_effect names {name!r}, which is neither a family {list(families)} nor a metric")
        floor = float(floor)
        if not (math.isfinite(floor) and floor >= 0.0):
            raise ValueError(f"the floor of {name!r} must be finite and at least 0, got {floor!r}")
        out[name] = floor
    return out


def apply(pending: list[Pending], floors: dict) -> None:
    """Give each check with a floor (its metric's, else its family's) the test of the floor."""
    if not floors:
        return
    for item in pending:
        floor = floors.get(item.metric, floors.get(item.family))
        if floor is None or item.p is None or item.details.get("estimated"):
            continue
        item.details["min_effect"] = floor
        change = item.change if item.change is not None else _difference(item.current, item.reference)
        se = item.se
        if change is None or se is None or not (math.isfinite(change) and math.isfinite(se)):
            item.p = None
            item.details["min_effect_untested"] = "the change has no standard error to test the floor with"
            continue
        effect = abs(change) if item.family == "drift" else item.sign * change  # drift: either way
        p_floor = float(_native.normal_cdf((floor - effect) / se)) if se > 0 else float(effect <= floor)
        item.p = max(item.p, p_floor)
        item.worse = item.worse and effect > floor


def _difference(cur, ref):
    if cur is None or ref is None:
        return None
    return float(cur) - float(ref)
