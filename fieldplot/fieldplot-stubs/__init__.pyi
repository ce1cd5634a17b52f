from typing import Any, Final, Sequence

from numpy.typing import NDArray

NODE_FLOATS: Final[int]

def inzidenz(
    normal_axis: int,
    u_axis: int,
    v_axis: int,
    plane: int,
    u_begin: int,
    u_end: int,
    v_begin: int,
    v_end: int,
    coords: Sequence[NDArray[Any]],
    boxes: NDArray[Any],
    incidence: NDArray[Any],
    surface_only: int,
    /,
) -> None: ...
def glarr(
    normal_axis: int,
    u_axis: int,
    v_axis: int,
    plane: int,
    u_first: int,
    u_last: int,
    v_first: int,
    v_last: int,
    coords: Sequence[NDArray[Any]],
    cell_mask: NDArray[Any],
    colour_values: NDArray[Any],
    height_values: NDArray[Any],
    out_normals: NDArray[Any],
    out_positions: NDArray[Any],
    out_colours: NDArray[Any],
    out_counts: NDArray[Any],
    height_scale: float,
    nodes: NDArray[Any],
    contour_levels: int,
    alpha: float,
    arrows: int,
    vectors: NDArray[Any] | None,
    arrow_scale: float,
    /,
) -> int: ...
