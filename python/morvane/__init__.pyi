# Type stubs of the morvane package: profiles, comparisons, reports, monitors.
from collections.abc import Iterable, Mapping, Sequence
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
    "F1Score", "LogLoss",
]
_RegressionMetric: TypeAlias = Literal[
    "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared", "MaxError", "MeanSquaredLogError",
    "RootMeanSquaredLogError", "MeanAbsolutePercentageError",
]
_MulticlassMetric: TypeAlias = Literal[
    "Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WeightedPrecision", "WeightedRecall", "WeightedF1",
    "LogLoss",
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
_DriftMetric: TypeAlias = Literal["Distribution"]
_DataMetric: TypeAlias = Literal["Rows", "Missing", "Unseen", "OutOfRange"]
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

__all__ = [
    "Check", "FormatError", "MismatchError", "Layout", "Monitor", "Profile", "Report", "__version__", "above",
    "at_least", "at_most", "below", "compare", "load", "load_monitor", "load_profile", "merge", "one_of", "profile",
]

__version__: str

class FormatError(ValueError): ...
class MismatchError(ValueError): ...

@dataclass(frozen=True)
class Layout:
    """The bins, categories, task and facets a profile counts on; `like=` accepts one."""
    features: tuple[Any, ...] = ()
    task: Any = None
    facets: tuple[Any, ...] = ()
    timestamp: str | None = None
    types: tuple[tuple[str, str], ...] = ()
    def feature(self, name: str) -> Any: ...
    @property
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
    def merge(self, other: Profile) -> Profile: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Profile: ...
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
    bins: _Heuristic | Sequence[float] | npt.NDArray[np.floating[Any]] = "quantile",
    n_bins: int = 10,
    progress: bool | None = None,
    threads: int | None = None,
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
    def plot(self, *, max_features: int = 6) -> Figure: ...
    @overload
    def to_html(self, path: None = None, *, figure: bool = True) -> str: ...
    @overload
    def to_html(self, path: _Path, *, figure: bool = True) -> Path: ...
    def summary(self, limit: int = 10) -> str: ...
    def _repr_html_(self) -> str: ...

def compare(
    reference: Profile, current: Profile, *, alpha: float = 0.01, checks: Sequence[_Family | _Metric] | None = None
) -> Report: ...

class Monitor:
    def __init__(self, reference: Profile, *, threads: int | None = None) -> None: ...
    @property
    def reference(self) -> Profile: ...
    @property
    def current(self) -> Profile: ...
    def update(self, table: _Table) -> Monitor: ...
    def report(self, *, alpha: float = 0.01, checks: Sequence[_Family | _Metric] | None = None) -> Report: ...
    def reset(self) -> None: ...
    def merge(self, other: Monitor) -> Monitor: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Monitor: ...
    def save(self, path: _Path) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
