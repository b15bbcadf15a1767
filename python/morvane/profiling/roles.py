"""The roles columns play in a table (target, prediction, score, timestamp, excluded, keys) and the
misconfiguration rules: a monitor that cannot fail is an error, never a silent pass."""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from morvane.state.layout import label_parts
from morvane.tables.read import Table

KEY_ROWS = 1000  # a reference this long whose column never repeats a value: that column is a key
NEXT_ABOVE_ONE = float(np.nextafter(1.0, 2.0))


def name_of(column) -> str:
    """A column name as given (integers too: `target=1` names the column "1")."""
    if isinstance(column, np.generic):
        column = column.item()
    return column if isinstance(column, str) else str(column)


def names_of(columns, option: str) -> tuple:
    """One name or a list of names, as a tuple of names."""
    if columns is None:
        return ()
    if isinstance(columns, (str, int, np.integer)):
        return (name_of(columns),)
    try:
        out = tuple(name_of(c) for c in columns)
    except TypeError:
        raise TypeError(f"{option}= takes a column name or a list of names, not {type(columns).__name__}") from None
    if len(set(out)) != len(out):
        raise ValueError(f"{option}= names a column twice")
    return out


@dataclass(frozen=True)
class Roles:
    """Column names by role; `score_labels` gives, for a multiclass score given by class, each score
    column's class (None: the columns are named by the classes, or a 2-D column in sorted order)."""

    target: str | None = None
    prediction: tuple = ()
    score: tuple = ()
    score_labels: tuple | None = None
    timestamp: str | None = None
    exclude: tuple = ()

    @property
    def columns(self) -> set:
        """Every column with a role: none of them is a default feature."""
        return {c for c in (self.target, self.timestamp) if c is not None} | set(self.prediction) | set(
            self.score) | set(self.exclude)


def parse_roles(*, target, prediction, score, timestamp, exclude) -> Roles:
    """The roles as names; a column given in two roles is refused."""
    score_labels = None
    if isinstance(score, dict):
        if not score:
            raise ValueError("score= names no column")
        score_labels = tuple(score)
        score = tuple(name_of(c) for c in score.values())
    else:
        score = names_of(score, "score")
    roles = Roles(None if target is None else name_of(target), names_of(prediction, "prediction"), score, score_labels,
                  None if timestamp is None else name_of(timestamp), names_of(exclude, "exclude"))
    seen = {}
    for role, cols in (("target", (roles.target,)), ("prediction", roles.prediction), ("score", roles.score),
                       ("timestamp", (roles.timestamp,)), ("exclude", roles.exclude)):
        for c in cols:
            if c is None:
                continue
            if c in seen and seen[c] != role:
                raise ValueError(f"column {c!r} is given as {seen[c]} and as {role}: a column has one role")
            seen[c] = role
    if len(set(roles.score)) != len(roles.score):
        raise ValueError("score= names a column twice")
    return roles


def check_scores(t: Table, columns, slots=None) -> None:
    """Probabilities lie in [0, 1]: otherwise an error naming the column and the first value outside."""
    for i, name in enumerate(columns):
        slot = t.slot(name) if slots is None else slots[i]
        if t.columns.type(slot) not in ("float", "integer", "null"):
            raise ValueError(f"score column {name!r} holds {t.columns.type(slot)} values, not probabilities")
        found = t.columns.first_outside(slot, 0.0, 1.0)
        if found is not None:
            row, value = found
            raise ValueError(f"score column {name!r} holds {value!r} at row {row}: scores are probabilities in "
                             "[0, 1] (logits or percentages must be turned into probabilities first)")


def is_probability(t: Table, slot: int) -> bool:
    """A float column whose present values all lie in [0, 1]."""
    return t.columns.is_float(slot) and t.columns.first_outside(slot, 0.0, 1.0) is None


def looks_like_scores(t: Table, slot: int) -> bool:
    """A float column holding a value that is not a whole number: meant as scores, not labels."""
    return t.columns.is_float(slot) and t.columns.first_fraction(slot) >= 0


def check_threshold(threshold) -> float:
    """A probability threshold lies strictly between 0 and 1."""
    try:
        value = float(threshold)
    except (TypeError, ValueError):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}") from None
    if not 0.0 < value < 1.0:
        raise ValueError(f"threshold={threshold!r} with scores: a probability threshold lies strictly between 0 "
                         "and 1 (the model decides positive when score >= threshold)")
    return value


def check_positive(positive, labels, target: str, target_type: str) -> None:
    """The positive label occurs among the reference's target values (their category texts). A target
    of one value (a reference without positives, or without negatives) only needs a positive of its
    type: a number for numbers and booleans, a text for texts."""

    number, text = label_parts(positive)
    if len(labels) == 1 and (number is not None) == (target_type in ("integer", "float", "boolean")):
        return
    for label in labels:
        if label == text:
            return
        if number is not None:
            try:
                if float(label) == number and label.lower() not in ("nan", "inf", "-inf"):
                    return
            except ValueError:
                pass
    shown = ", ".join(repr(v) for v in labels[:10]) + (", ..." if len(labels) > 10 else "")
    raise ValueError(f"positive={positive!r} is not among the values of target {target!r} ({shown or 'none'}): "
                     "give positive= one of them")


def score_classes(columns: tuple, labels: tuple | None, classes: tuple) -> tuple:
    """The class of each multiclass score column: from {label: column}, or from the column names (the
    class itself, or a common prefix then the class, e.g. `proba_<class>`). Every column must map to a
    class, and every class to a column."""

    known = set(classes)
    if labels is not None:
        mapped = tuple(label_parts(v)[1] for v in labels)
        if not known:  # a target without values: the classes are the ones given
            return mapped
    elif not known:
        return tuple(columns)
    elif all(c in known for c in columns):
        mapped = columns
    else:
        # A common prefix before the class: the prefixes each column allows, shared by all.
        options = [{c[: len(c) - len(k)] for k in classes if c.endswith(k) and len(c) > len(k)} for c in columns]
        shared = set.intersection(*options) if options else set()
        mapped = None
        for prefix in sorted(shared, key=len, reverse=True):
            candidate = tuple(c[len(prefix):] for c in columns)
            if len(set(candidate)) == len(candidate):
                mapped = candidate
                break
        if mapped is None:
            unmatched = [c for c, o in zip(columns, options) if not o] or list(columns)
            raise ValueError(f"score column {unmatched[0]!r} maps to no class of the target ({', '.join(map(repr, classes))}): "
                             "name the columns by the classes, or give score={class: column}")
    stray = [m for m in mapped if m not in known]
    if stray:
        raise ValueError(f"score= gives class {stray[0]!r}, which the target and prediction never hold "
                         f"({', '.join(map(repr, classes))})")
    if len(set(mapped)) != len(mapped):
        raise ValueError("score= gives one class two columns")
    lacking = [k for k in classes if k not in mapped]
    if lacking:
        raise ValueError(f"score= gives no column for class {lacking[0]!r}: every class needs its probability")
    return mapped


def find_keys(t: Table, candidates, n_rows: int, categories: dict) -> list:
    """Columns whose values are all present and distinct in a reference of at least KEY_ROWS rows:
    identifiers, not features. Only integer and text columns can be keys (measurements in floats are
    distinct without identifying anything). `categories` holds found (categories, counts, missing) by
    name for the text columns."""
    if n_rows < KEY_ROWS:
        return []
    keys = []
    for name in candidates:
        kind = t.type(name)
        if kind == "integer" and name not in categories:
            if t.columns.all_distinct_numbers(t.slot(name)):
                keys.append(name)
        elif name in categories:
            found, _, missing = categories[name]
            if missing == 0 and len(found) == n_rows:
                keys.append(name)
    if keys:
        warn_keys(keys)
    return keys


def warn_keys(keys, stacklevel=5) -> None:
    warnings.warn(f"{', '.join(map(repr, keys))} {'is a key' if len(keys) == 1 else 'are keys'} (every value "
                  "distinct) and left out of the features: give features= or exclude= to decide",
                  UserWarning, stacklevel=stacklevel)

