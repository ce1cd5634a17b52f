from typing import Any

from numpy.typing import NDArray

def viarow(
    N: int,
    _x: NDArray[Any],
    _cf: NDArray[Any],
    _pos: NDArray[Any],
    _p: NDArray[Any],
    _attr: NDArray[Any],
    dvia: float,
    /,
) -> int: ...
