# Type stubs of the morvane package: profiles, comparisons, reports, monitors.
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from os import PathLike
from pathlib import Path
from typing import Any, Literal, Protocol, TypeAlias, overload

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

Task: TypeAlias = Literal["regression", "binary", "multiclass"]
Heuristic: TypeAlias = Literal["quantile", "FreedmanDiaconis", "Scott", "Sturges"]
Family: TypeAlias = Literal["drift", "performance", "bias"]
BinaryMetric: TypeAlias = Literal[
    "BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive", "RecallNegative", "Accuracy",
    "F1Score", "LogLoss",
]
RegressionMetric: TypeAlias = Literal[
    "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared", "MaxError", "MeanSquaredLogError",
    "RootMeanSquaredLogError", "MeanAbsolutePercentageError",
]
MulticlassMetric: TypeAlias = Literal[
    "Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "WeightedPrecision", "WeightedRecall", "WeightedF1",
    "LogLoss",
]
PreTrainingMetric: TypeAlias = Literal[
    "ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence", "LpNorm",
    "TotalVariationDistance", "KolmogorovSmirnov",
]
PostTrainingMetric: TypeAlias = Literal[
    "DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference", "RecallDifference",
    "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate", "SpecialityDifference",
    "DifferenceInConditionalRejection", "DifferenceInRejectionRate", "TreatmentEquity",
    "ConditionalDemographicDesparityPredictedLabels", "GeneralizedEntropy",
]
Distance: TypeAlias = Literal["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
Metric: TypeAlias = BinaryMetric | RegressionMetric | MulticlassMetric | PreTrainingMetric | PostTrainingMetric

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# pandas and polars DataFrames, pyarrow Tables and RecordBatches, Arrow streams, or a dict of columns.
Table: TypeAlias = _ArrowStream | Mapping[str, Any]
Label: TypeAlias = str | int | float | bool
_Path: TypeAlias = str | PathLike[str]

class Rule: ...

def at_least(value: float) -> Rule: ...
def above(value: float) -> Rule: ...
def at_most(value: float) -> Rule: ...
def below(value: float) -> Rule: ...
def one_of(values: Iterable[Label]) -> Rule: ...

FacetRule: TypeAlias = Rule | Label | None

class FormatError(ValueError): ...
class MismatchError(ValueError): ...

class Profile:
    @property
    def n_rows(self) -> int: ...
    @property
    def columns(self) -> list[str]: ...
    def merge(self, other: Profile) -> Profile: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Profile: ...
    def save(self, path: _Path) -> None: ...
    def histogram(self, column: str) -> tuple[npt.NDArray[np.float64] | list[str], npt.NDArray[np.int64]]: ...
    def missing(self, column: str) -> int: ...
    def __eq__(self, other: object) -> bool: ...

@overload
def profile(table: Table, *, like: Profile, progress: bool | None = None) -> Profile: ...
@overload
def profile(
    table: Table,
    *,
    target: str | None = None,
    prediction: str | Sequence[str] | None = None,
    task: Task | None = None,
    positive: Label = 1,
    threshold: float = 0.5,
    features: Sequence[str] | None = None,
    categorical: Sequence[str] = (),
    facets: Mapping[str, FacetRule] | None = None,
    bins: Heuristic | Sequence[float] | npt.NDArray[np.floating[Any]] = "quantile",
    n_bins: int = 10,
    progress: bool | None = None,
) -> Profile: ...
def merge(profiles: Iterable[Profile]) -> Profile: ...
def load(path: _Path) -> Profile | Monitor: ...

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
    reference: Profile, current: Profile, *, alpha: float = 0.01, checks: Sequence[Family | Metric] | None = None
) -> Report: ...

class Monitor:
    def __init__(self, reference: Profile) -> None: ...
    @property
    def reference(self) -> Profile: ...
    @property
    def current(self) -> Profile: ...
    def update(self, table: Table) -> None: ...
    def report(self, *, alpha: float = 0.01, checks: Sequence[Family | Metric] | None = None) -> Report: ...
    def reset(self) -> None: ...
    def merge(self, other: Monitor) -> None: ...
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Monitor: ...
    def save(self, path: _Path) -> None: ...
