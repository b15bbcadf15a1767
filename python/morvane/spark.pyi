from typing import Any

from morvane import History, Profile

CHUNK_ROWS: int

def profile(spark_df: Any, **profile_options: Any) -> Profile: ...
def update(history: History, spark_df: Any, *, replace: bool = ...) -> History: ...
