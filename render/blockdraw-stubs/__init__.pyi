from typing import Any, Final

from numpy.typing import NDArray

MATERIAL_ROW_FLOATS: Final[int]

def blockdraw(
    ignored: object,
    threshold0: float,
    threshold1: float,
    counts: NDArray[Any],
    spacing: NDArray[Any],
    voxels: NDArray[Any],
    materials: NDArray[Any],
    alpha: float,
    /,
) -> int: ...
