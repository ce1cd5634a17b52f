from typing import Any

from numpy.typing import NDArray

def stagedraw(
    box: NDArray[Any],
    stage_values: NDArray[Any],
    xs: NDArray[Any],
    ys: NDArray[Any],
    zs: NDArray[Any],
    lower: float,
    upper: float,
    stage_kind: str,
    /,
) -> int: ...
