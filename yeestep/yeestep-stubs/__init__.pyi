from typing import Any, Final, Optional, Sequence

from numpy.typing import NDArray

X_OFFSET: Final[int]
ROW_ALIGN: Final[int]
LOW_PEC_X: Final[int]
LOW_PEC_Y: Final[int]
LOW_PEC_Z: Final[int]
HALVES_H: Final[int]
HALVES_E: Final[int]
HALVES_BOTH: Final[int]
ISAS: Final[tuple[str, ...]]

def prepare(
    records0: NDArray[Any],
    lines0: NDArray[Any],
    records1: NDArray[Any],
    lines1: NDArray[Any],
    spacings: Sequence[NDArray[Any]],
    group_width: int,
    nterms: int,
    ntail: int,
    lossy3: int,
    skin: Optional[tuple[int, int]],
    boundary: int,
    /,
) -> object: ...
def step(
    plan: object,
    fields: NDArray[Any],
    first: int,
    count: int,
    sources: Optional[tuple[NDArray[Any], NDArray[Any]]],
    probes: Optional[tuple[NDArray[Any], NDArray[Any]]],
    dft: Optional[tuple[NDArray[Any], NDArray[Any], NDArray[Any]]],
    stop: Optional[tuple[int, float]],
    halves: int = 3,
    threads: int = 0,
    /,
) -> int: ...
def energy(plan: object, fields: NDArray[Any], threads: int = 0, /) -> float: ...
def reset(plan: object, /) -> None: ...
def coefficients(plan: object, cells: NDArray[Any], /) -> NDArray[Any]: ...
def layout(plan: object, /) -> tuple[tuple[int, int, int, int], int, int]: ...
