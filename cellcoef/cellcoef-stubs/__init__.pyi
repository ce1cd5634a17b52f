from typing import Any, Final, Sequence

from numpy.typing import NDArray
from rlearray import RleArray

CODE_COMPONENTS: Final[int]
CODE_LOSSY_FIRST: Final[int]
CODE_LOSSY_SECOND: Final[int]
CODE_MULTIGROUP: Final[int]
CODE_BOTH_PASSES: Final[int]
CODE_TAG: Final[int]
CODE_TAG_SHIFT: Final[int]
CODE_SPLIT_LOSS: Final[int]
CODE_LUMPED: Final[int]
CODE_FIRST_PASS_DROP: Final[int]
CODE_SECOND_PASS_DROP: Final[int]
CODE_GROUP_KEEP: Final[int]
COMPONENT_COUNT: Final[int]
RUN_RECORD_INTS: Final[int]
STORE_HEADER_BYTES: Final[int]
DEBUG_INSERT_RESULT: Final[int]
DEBUG_COMPARE: Final[int]
DEBUG_VECTOR: Final[int]
DEBUG_RUN_HEADS: Final[int]

def stats(og: NDArray[Any], /) -> tuple[int, int, int, int, int, int, int]: ...
def dispatch(
    runs: NDArray[Any],
    og: NDArray[Any],
    group_width: int,
    pass_: int,
    z: int,
    y: int,
    codes: NDArray[Any],
    coef_lists: Sequence[Sequence[RleArray]],
    ext: Sequence[Any],
    norms: Sequence[NDArray[Any]],
    lossy3: int = 0,
    dtfact: float = 1.0,
    ntail: int = 0,
    /,
) -> None: ...
def last(
    rle_a: RleArray, rle_b: RleArray, codes: NDArray[Any], bit: int, a_scale: float, /
) -> tuple[RleArray, RleArray, int]: ...
def settol(tol: float, /) -> None: ...
def setrun(run_limit: int, /) -> None: ...
