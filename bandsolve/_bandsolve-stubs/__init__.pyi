from typing import Any

from numpy.typing import NDArray

def gauss(
    band: NDArray[Any], multipliers: NDArray[Any], halfwidth: int, reserved: int, neq: int, /
) -> None: ...
def invmul(
    band: NDArray[Any],
    multipliers: NDArray[Any],
    rhs: NDArray[Any],
    solution: NDArray[Any],
    active: NDArray[Any],
    halfwidth: int,
    reserved: int,
    neq: int,
    remove_mean: int,
    /,
) -> None: ...
