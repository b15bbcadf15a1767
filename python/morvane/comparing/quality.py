"""The rules family: each declared rule of the reference's layout, judged on the current window's
counts (rows violating of rows evaluated).

A rule with a tolerance of 0 is a rule, not a test: it fails on any violation and spends none of
alpha. A positive tolerance is a hypothesis, "the violation rate is at most the tolerance", tested by
the exact one-sided binomial test inside the report's correction. A rule of severity "warning" may
fail its check but never the report (``check.details["severity"]``)."""

from __future__ import annotations

from scipy import stats

from morvane.comparing.checks import Pending
from morvane.state.profile import Profile

METRICS = ()  # a rule's check is named after the rule


def checks(reference: Profile, current: Profile, alpha: float, tables: dict) -> list[Pending]:
    out, rows = [], []
    for rule in reference.layout.extra("rules") or ():
        ref_violating, ref_evaluated = reference.violations(rule.name)
        violating, evaluated = current.violations(rule.name)
        if rule.tolerance == 0.0:
            p = 0.0 if violating else None
            test = "a rule: any violation fails"
        else:
            # P(X >= violating) for X ~ Binomial(evaluated, tolerance): the chance of this many violations
            # or more if the rate were the tolerance. Kept when nothing violates (p = 1), so the
            # correction's weights do not depend on the outcome.
            p = float(stats.binom.sf(violating - 1, evaluated, rule.tolerance)) if evaluated else 1.0
            test = "exact one-sided binomial: the violation rate exceeds the tolerance"
        rate, ref_rate = _rate(violating, evaluated), _rate(ref_violating, ref_evaluated)
        out.append(Pending("rules", rule.column, rule.name, ref_rate, rate, ("rules", rule.name), p,
                           worse=violating > 0 and (rule.tolerance == 0.0 or rate > rule.tolerance),
                           details={"test": test, "rule": rule.readable(), "severity": rule.severity,
                                    "tolerance": rule.tolerance, "violating": violating, "evaluated": evaluated,
                                    "violating_reference": ref_violating, "evaluated_reference": ref_evaluated}))
        rows.append({"rule": rule.name, "meaning": rule.meaning(), "severity": rule.severity,
                     "tolerance": rule.tolerance, "violating": violating, "evaluated": evaluated,
                     "rate": rate, "reference rate": ref_rate})
    if rows:
        tables["rules"] = rows
    return out


def _rate(violating: int, evaluated: int):
    return violating / evaluated if evaluated else None
