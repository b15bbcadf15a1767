from typing import Any

from morvane import History, Profile

FAN_IN: int

def profile(dask_df: Any, **profile_options: Any) -> Profile: ...
def update(history: History, dask_df: Any, *, replace: bool = ...) -> History: ...
