from typing import Any

from numpy.typing import NDArray

def arcfind(points: NDArray[Any], tol: float, /) -> tuple[float, float, float] | None: ...
