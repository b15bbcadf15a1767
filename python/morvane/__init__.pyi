# Type stubs of the morvane package: profiles, comparisons, reports, monitors.
from collections.abc import Iterable, Mapping, Sequence
import functools
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, ClassVar, Literal, Protocol, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

_Task: TypeAlias = Literal["regression", "binary", "multiclass"]
_Heuristic: TypeAlias = Literal["quantile", "FreedmanDiaconis", "Scott", "Sturges"]
_Family: TypeAlias = Literal["data", "drift", "performance", "bias"]
_BinaryMetric: TypeAlias = Literal[
    "BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive", "RecallNegative", "Accuracy",
    "F1Score", "LogLoss", "ROCAUC", "AveragePrecision", "Calibration",
]
_RegressionMetric: TypeAlias = Literal[
    "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared", "MaxError", "MeanSquaredLogError",
    "RootMeanSquaredLogError", "MeanAbsolutePercentageError",
]
_MulticlassMetric: TypeAlias = Literal[
    "Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WeightedPrecision", "WeightedRecall", "WeightedF1",
    "LogLoss", "MacroROCAUC", "Calibration",
]
_PreTrainingMetric: TypeAlias = Literal[
    "ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence", "LpNorm",
    "TotalVariationDistance", "KolmogorovSmirnov",
]
_PostTrainingMetric: TypeAlias = Literal[
    "DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference",
    "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate", "SpecialityDifference",
    "DifferenceInConditionalRejection", "DifferenceInRejectionRate", "TreatmentEquity",
    "ConditionalDemographicDesparityPredictedLabels", "GeneralizedEntropy",
]
_DriftMetric: TypeAlias = Literal["Distribution", "Reconstruction", "Covariance"]
_DataMetric: TypeAlias = Literal["Rows", "Missing", "Unseen", "OutOfRange"]
_Seasons: TypeAlias = Literal["weekday", "hour", "weekday-hour"]
# Distances every drift check reports in its details, on the same bins.
_Distance: TypeAlias = Literal["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
_Metric: TypeAlias = (
    _DataMetric | _DriftMetric | _BinaryMetric | _RegressionMetric | _MulticlassMetric | _PreTrainingMetric | _PostTrainingMetric
)

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# pandas and polars DataFrames, pyarrow Tables and RecordBatches, Arrow streams, or a dict of columns.
_Table: TypeAlias = _ArrowStream | Mapping[str, Any]
_Label: TypeAlias = str | int | float | bool
_Path: TypeAlias = str | PathLike[str]

class _Rule:  # what the rule functions return; pass it in facets=
    op: str
    values: tuple[Any, ...]
    def readable(self) -> str: ...

def at_least(x: float) -> _Rule: ...
def above(x: float) -> _Rule: ...
def at_most(x: float) -> _Rule: ...
def below(x: float) -> _Rule: ...
def one_of(values: Iterable[_Label]) -> _Rule: ...

_FacetRule: TypeAlias = _Rule | _Label | None

class Rule:  # a declared data-quality rule: exactly one of between= ... where=
    column: str | None
    kind: str
    value: Any
    name: str
    tolerance: float
    severity: Literal["error", "warning"]
    def __init__(
        self,
        column: str | None = None,
        *,
        between: tuple[Any, Any] | None = None,
        one_of: Iterable[_Label] | None = None,
        matches: str | None = None,
        not_null: bool = False,
        at_least: str | float | Any | None = None,
        at_most: str | float | Any | None = None,
        where: str | None = None,
        name: str | None = None,
        tolerance: float = 0.0,
        severity: Literal["error", "warning"] = "error",
    ) -> None: ...
    def readable(self) -> str: ...
    def meaning(self) -> str: ...
    def columns(self) -> list[str]: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def suggest_rules(profile: Profile) -> list[Rule]: ...

__all__ = [
    "AlertError", "Change", "Check", "FormatError", "History", "MismatchError", "Layout", "Monitor", "Profile", "Report",
    "Rule", "Timeline", "__version__", "above", "at_least", "at_most", "below", "compare", "explain", "index_html", "load",
    "load_monitor", "load_profile", "merge", "notify", "one_of", "profile", "push", "suggest_rules",
]

__version__: str

class FormatError(ValueError): ...
class MismatchError(ValueError): ...

class AlertError(OSError):
    host: str
    status: int | None
    attempts: int
    def __init__(self, message: str, *, host: str = "", status: int | None = None, attempts: int = 0) -> None: ...

@dataclass(frozen=True)
class Layout:
    """The bins, categories, task and facets a profile counts on; `like=` accepts one."""
    features: tuple[Any, ...] = ()
    task: Any = None
    facets: tuple[Any, ...] = ()
    timestamp: str | None = None
    types: tuple[tuple[str, str], ...] = ()
    segments: Any = None  # the segments' columns and values, or None
    extras: tuple[tuple[str, Any], ...] = ()  # each layout section's (name, value), in tag order
    def extra(self, name: str) -> Any: ...
    def feature(self, name: str) -> Any: ...
    def segment_layout(self) -> Layout: ...
    @functools.cached_property
    def fingerprint(self) -> int: ...
    def to_bytes(self) -> bytes: ...

class Profile:
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...  # made by profile(), merge() and load()
    @property
    def layout(self) -> Layout: ...
    @property
    def task(self) -> _Task | None: ...
    @property
    def n_rows(self) -> int: ...
    @property
    def columns(self) -> list[str]: ...
    @property
    def features(self) -> dict[str, Any]: ...  # each feature's statistics
    @property
    def task_stats(self) -> Any: ...  # the task's statistics, or None
    @property
    def facets(self) -> dict[str, Any]: ...  # each facet's statistics
    @property
    def segments(self) -> dict[tuple[str, ...], Profile]: ...  # each segment's profile, ("other",) last
    @property
    def seasons(self) -> _Seasons | None: ...
    def merge(self, other: Profile) -> Profile: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Profile: ...
    def to_counts(self) -> bytes: ...
    @classmethod
    def from_counts(cls, layout: Layout, data: bytes | bytearray | memoryview, fingerprint: int | None = None) -> Profile: ...
    def extra(self, name: str) -> Any: ...  # a state section's value (rules' counts, seasons, ...), or None
    def violations(self, name: str) -> tuple[int, int]: ...  # (rows violating, rows evaluated) of a rule
    def save(self, path: _Path) -> None: ...
    def histogram(self, column: str) -> tuple[npt.NDArray[np.float64] | list[str], npt.NDArray[np.int64]]: ...
    def missing(self, column: str) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@overload
def profile(
    table: _Table, *, like: Profile | Layout, progress: bool | None = None, threads: int | None = None
) -> Profile: ...
@overload
def profile(
    table: _Table,
    *,
    like: None = None,
    target: str | int | None = None,
    prediction: str | int | Sequence[str | int] | None = None,
    score: str | int | Sequence[str | int] | Mapping[_Label, str | int] | None = None,
    task: _Task | None = None,
    positive: _Label = 1,
    threshold: float = 0.5,
    features: Sequence[str | int] | None = None,
    categorical: Sequence[str | int] = (),
    exclude: str | int | Sequence[str | int] = (),
    facets: Mapping[str, _FacetRule] | None = None,
    timestamp: str | int | None = None,
    segments: Sequence[str] | None = None,
    bins: _Heuristic | Sequence[float] | npt.NDArray[np.floating[Any]] = "quantile",
    n_bins: int = 10,
    joint: bool = False,
    explain: bool = False,
    rules: Iterable[Rule] | None = None,
    progress: bool | None = None,
    threads: int | None = None,
    seasons: _Seasons | None = None,
    tz: str | None = None,
) -> Profile: ...
def merge(profiles: Iterable[Profile]) -> Profile: ...
def load(path: _Path) -> Profile | Monitor: ...
def load_profile(path: _Path) -> Profile: ...
def load_monitor(path: _Path) -> Monitor: ...

@dataclass(frozen=True)
class Check:
    family: str
    column: str | None
    metric: str
    reference: float | None
    current: float | None
    change: float | None
    p_value: float | None
    failed: bool
    interval: tuple[float, float] | None = None
    details: dict[str, Any] = field(default_factory=dict)
    segment: tuple[str, ...] | None = None
    def label(self) -> str: ...
    def movement(self, arrow: str = "->") -> str: ...

class Report:
    alpha: float
    reference: Profile | None
    current: Profile | None
    tables: dict[str, list[dict[str, Any]]]
    def __init__(
        self,
        checks: Iterable[Check],
        *,
        alpha: float,
        reference: Profile | None = None,
        current: Profile | None = None,
        tables: Mapping[str, Iterable[Mapping[str, Any]]] | None = None,
    ) -> None: ...
    @property
    def passed(self) -> bool: ...
    @property
    def checks(self) -> list[Check]: ...
    @property
    def failures(self) -> list[Check]: ...
    def rows(self) -> tuple[int | None, int | None]: ...
    def to_dict(self) -> dict[str, Any]: ...
    def to_pandas(self, table: str | None = None) -> Any: ...  # a pandas DataFrame
    def explain(self, top: int | None = 10) -> Any: ...  # a pandas DataFrame
    def explainable(self) -> bool: ...
    def plot(self, *, max_features: int = 6) -> Figure: ...
    @overload
    def to_html(self, path: None = None, *, figure: bool = True) -> str: ...
    @overload
    def to_html(self, path: _Path, *, figure: bool = True) -> Path: ...
    def to_openmetrics(self, labels: Mapping[str, object] | None = None) -> str: ...
    def summary(self, limit: int = 10) -> str: ...
    def notes(self) -> list[str]: ...
    def _repr_html_(self) -> str: ...

def explain(reference: Profile, current: Profile, top: int | None = 10, alpha: float = 0.01) -> Any: ...  # a DataFrame
def compare(
    reference: Profile, current: Profile, alpha: float = 0.01, checks: Sequence[_Family | _Metric] | None = None, *,
    min_effect: Mapping[str, float] | None = None, weights: Mapping[str, float] | None = None,
) -> Report: ...

class Monitor:
    def __init__(self, reference: Profile, *, threads: int | None = None, history: History | None = None) -> None: ...
    @property
    def reference(self) -> Profile: ...
    @property
    def history(self) -> History | None: ...
    @property
    def current(self) -> Profile: ...
    def update(self, table: _Table) -> Monitor: ...
    def report(
        self, *, alpha: float = 0.01, checks: Sequence[_Family | _Metric] | None = None,
        min_effect: Mapping[str, float] | None = None, weights: Mapping[str, float] | None = None,
    ) -> Report: ...
    def reset(self) -> None: ...
    def merge(self, other: Monitor) -> Monitor: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Monitor: ...
    def save(self, path: _Path) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

_Instant: TypeAlias = Any  # a datetime, date, ISO text, numpy datetime64, pandas Timestamp or nanoseconds

class Timeline:
    alpha: float
    correction: Literal["holm"] | None
    levels: list[float]
    def __init__(
        self, reports: Iterable[tuple[Any, Any, Report]], *, alpha: float, correction: Literal["holm"] | None = None,
        levels: Iterable[float] | None = None,
    ) -> None: ...
    @property
    def passed(self) -> bool: ...
    @property
    def reports(self) -> list[tuple[Any, Any, Report]]: ...
    @property
    def failures(self) -> list[tuple[Any, Any, Report]]: ...
    def __len__(self) -> int: ...
    def to_pandas(self) -> Any: ...  # a pandas DataFrame
    def series(self) -> dict[tuple[str, str | None, tuple[Any, ...] | None, str], list[tuple[Any, Any, Check]]]: ...
    def failing_series(
        self,
    ) -> list[tuple[tuple[str, str | None, tuple[Any, ...] | None, str], list[tuple[Any, Any, Check]]]]: ...
    def changes(self) -> list[Change]: ...
    def to_openmetrics(self, labels: Mapping[str, object] | None = None) -> str: ...
    def plot(self, *, max_panels: int = 12) -> Figure: ...
    def summary(self, limit: int = 10) -> str: ...
    def to_dict(self) -> dict[str, Any]: ...
    @overload
    def to_html(self, path: None = None, *, figure: bool = True) -> str: ...
    @overload
    def to_html(self, path: _Path, *, figure: bool = True) -> Path: ...

class History:
    def __init__(
        self, reference: Profile, every: str | Any | None = None, *, rows: int | None = None, tz: str | None = None,
        path: _Path | None = None, threads: int | None = None,
    ) -> None: ...
    @classmethod
    def open(cls, path: _Path, *, readonly: bool = False, threads: int | None = None) -> History: ...
    @property
    def reference(self) -> Profile: ...
    @property
    def path(self) -> str | None: ...
    @property
    def every(self) -> np.timedelta64 | Any | None: ...
    @property
    def rows(self) -> int | None: ...
    @property
    def timestamp(self) -> str | None: ...
    @property
    def undated(self) -> int: ...
    @property
    def periods(self) -> list[tuple[Any, Any]]: ...
    def __len__(self) -> int: ...
    def window(self, start: _Instant | None = None, end: _Instant | None = None) -> Profile: ...
    def profiles(
        self, start: _Instant | None = None, end: _Instant | None = None
    ) -> list[tuple[Any, Any, Profile]]: ...
    def timeline(
        self, alpha: float = 0.01, checks: Sequence[_Family | _Metric] | None = None, *,
        correction: Literal["holm"] | None = None, cumulative: bool | int = False, start: _Instant | None = None,
        end: _Instant | None = None, min_effect: Mapping[str, float] | None = None,
        weights: Mapping[str, float] | None = None, processes: int | None = None,
    ) -> Timeline: ...
    def every_period(
        self, start: _Instant | None = None, end: _Instant | None = None
    ) -> list[tuple[Any, Any, Profile]]: ...
    def update(self, table: _Table, replace: bool = False) -> History: ...
    def count(self, table: _Table, replace: bool = False) -> list[tuple[Any, Any, Profile]]: ...
    def add(self, start: _Instant, p: Profile, replace: bool = False) -> History: ...
    def add_periods(self, found: tuple[dict[int, Profile], int] | None, replace: bool = False) -> History: ...
    def period_profiler(self, threads: int | None = None) -> Any: ...
    def snapshot(self, path: _Path) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> History: ...
    def __exit__(self, *exc: object) -> None: ...

@dataclass(frozen=True)
class Change:
    """A run of failing periods of one check: from `started` until `resolved` (None: still failing)."""
    family: str
    column: str | None
    metric: str
    segment: tuple[Any, ...] | None
    started: Any
    resolved: Any
    check: Check
    def label(self) -> str: ...

_Kind: TypeAlias = Literal["alertmanager", "slack", "json"]

def push(
    report: Report | Timeline, gateway: str, job: str, labels: Mapping[str, object] | None = None, *,
    timeout: float = 10.0,
) -> int: ...
def notify(
    report: Report | Timeline | Change | Sequence[Change], url: str, kind: _Kind = "alertmanager",
    labels: Mapping[str, object] | None = None, timeout: float = 10.0, *, resolved: bool = False,
    link: str | None = None,
) -> int: ...
def index_html(
    histories: Mapping[str, History | _Path], path: _Path, *, alpha: float = 0.01,
    checks: Sequence[_Family | _Metric] | None = None, dashboards: bool = True,
) -> Path: ...
