"""Rules read from a reference profile: what its features already satisfy, to declare as rules."""

from __future__ import annotations

import math

import numpy as np

from morvane.state.quality import Rule

MAX_SET = 1000  # a value set longer than this is not a rule people read


def _value(text: str, type_: str):
    """A category's text as the column's values are (booleans, integers and floats as themselves)."""
    if type_ == "boolean":
        return text == "True"
    if type_ == "integer":
        return int(text)
    return float(text) if type_ == "float" else text


def _bound(v: float, type_: str):
    if type_ == "datetime":
        return np.datetime64(int(v), "ns")
    return int(v) if type_ == "integer" else v


def suggest_rules(profile) -> list:
    """Rules every row of ``profile`` satisfies, per feature: ``not_null`` when it has no missing
    value, ``between`` its least and greatest values (continuous), ``one_of`` its categories
    (categorical, up to 1,000). Each holds on the reference by construction, so a window that breaks
    one has rows the reference never had.

    >>> rules = mv.suggest_rules(reference)
    >>> reference = mv.profile(training, rules=rules)
    """
    types = dict(profile.layout.types)
    out = []
    for f in profile.layout.features:
        s = profile.features[f.name]
        type_ = types.get(f.name, "float")
        if s.n + s.missing == 0:
            continue
        if s.missing == 0:
            out.append(Rule(f.name, not_null=True))
        if s.n == 0:
            continue
        if f.kind == "continuous" and type_ in ("float", "integer", "datetime") \
                and math.isfinite(s.minimum) and math.isfinite(s.maximum):
            out.append(Rule(f.name, between=(_bound(s.minimum, type_), _bound(s.maximum, type_))))
        elif f.kind == "categorical" and 0 < len(f.categories) <= MAX_SET and s.counts[-1] == 0:
            present = [c for c, n in zip(f.categories, s.counts[:-1]) if n > 0]
            out.append(Rule(f.name, one_of=[_value(c, type_) for c in present]))
    return out
