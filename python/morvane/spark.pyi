from typing import Any

from morvane import Profile

CHUNK_ROWS: int

def profile(spark_df: Any, **profile_options: Any) -> Profile: ...
def update(history: Any, spark_df: Any, *, replace: bool = ...) -> Any: ...
