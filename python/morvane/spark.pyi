from typing import Any

from morvane import Profile

CHUNK_ROWS: int

def profile(spark_df: Any, **profile_options: Any) -> Profile: ...
