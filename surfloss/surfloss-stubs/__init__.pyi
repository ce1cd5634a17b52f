from typing import Any

from numpy.typing import NDArray

def surfloss(
    order: int,
    capacity: int,
    mask: NDArray[Any],
    values: NDArray[Any],
    dx: NDArray[Any],
    dy: NDArray[Any],
    dz: NDArray[Any],
    max_spacing: float,
    /,
) -> tuple[int, int, list[float]]: ...
def skincoeff(record_count: int, handle: int, scale: float, divisor: float, /) -> None: ...
