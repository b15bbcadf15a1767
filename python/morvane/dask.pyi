from typing import Any

from morvane import Profile

FAN_IN: int

def profile(dask_df: Any, **profile_options: Any) -> Profile: ...
def update(history: Any, dask_df: Any, *, replace: bool = ...) -> Any: ...
