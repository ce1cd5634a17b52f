"""surfloss: pairing marked cells into native skin records, and their coefficients."""
import ctypes
import gc
import sys
import weakref

import numpy as np
import pytest

import surfloss

NAN = float("nan")


class SkinRecord(ctypes.Structure):
    """The native record: 32 bytes on x86-64, fields at 0, 8, 16, 20, 24."""
    _fields_ = [
        ("cell", ctypes.c_void_p),
        ("partner", ctypes.c_void_p),
        ("value", ctypes.c_float),
        ("spacing_index", ctypes.c_int32),
        ("state", ctypes.c_void_p),
    ]


def records(handle, count):
    return (SkinRecord * count).from_address(handle)


def address(values, a, cell):
    return values.ctypes.data + sum(n * s for n, s in zip((a,) + cell, values.strides))


def make_grid(shape, marks, dx, dy, dz, layout="contiguous"):
    """mask, values, dx, dy, dz for a grid of shape (NZ, NY, NX); marks maps
    (k, j, i) to the cell's mask byte. Every value differs from the others."""
    mask = np.zeros(shape, np.uint8)
    for cell, byte in marks.items():
        mask[cell] = byte
    values = np.arange(1, 1 + 3 * mask.size, dtype=np.float32).reshape((3,) + shape) * 0.25
    if layout == "strided":
        nz, ny, nx = shape
        view = np.zeros((nz, ny, 2 * nx), np.uint8)[::-1, :, ::2]
        view[...] = mask
        mask = view
        values = np.asfortranarray(values)
    return [mask, values] + [np.array(s, np.float64) for s in (dx, dy, dz)]


def read_back(result, values):
    count, handle, spacings = result
    got = [(r.cell, r.partner, r.value, r.spacing_index) for r in records(handle, count)]
    return got, spacings


def expected(values, pairs):
    """Records for (a, cell, partner, spacing_index) tuples."""
    return [(address(values, a, cell), address(values, a, partner), float(values[(a,) + cell]), si)
            for a, cell, partner, si in pairs]


SHAPE = (2, 3, 4)
ONES = ([1.0] * 3, [1.0] * 2, [1.0])

# id, shape, marks, (dx, dy, dz), max_spacing, pairs (a, cell, partner, index),
# spacing list, mask bytes that change
SCANS = [
    ("no marks", SHAPE, {(0, 0, 0): 0xF8, (1, 2, 3): 0x80}, ONES, 2.0, [], [], {}),
    ("last layer", SHAPE, {(1, 2, 0): 1, (1, 2, 1): 1, (0, 2, 3): 4, (1, 2, 3): 4},
     ONES, 2.0, [], [], {}),
    ("marks for other axes", SHAPE, {(0, 0, 0): 1, (0, 1, 0): 6, (1, 0, 0): 2, (0, 0, 1): 1},
     ONES, 2.0, [], [], {}),
    ("four in a row", SHAPE, {(0, 0, i): 0x0A for i in range(4)}, ([0.5] * 3, [1.0] * 2, [1.0]),
     2.0, [(1, (0, 0, 0), (0, 0, 1), 0), (1, (0, 0, 2), (0, 0, 3), 0)], [0.5],
     {(0, 0, 1): 0x08, (0, 0, 3): 0x08}),
    ("smallest spacing along k", SHAPE, {(0, 0, 0): 1, (0, 1, 0): 1, (1, 0, 0): 1},
     ([1.0] * 3, [1.0] * 2, [0.5]), 2.0, [(0, (0, 0, 0), (1, 0, 0), 0)], [0.5], {(1, 0, 0): 0}),
    ("spacing above max", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4}, ([2.5, 1, 1], [1.0] * 2, [1.0]),
     2.0, [], [], {}),
    ("spacing at max", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4}, ([2.0, 1, 1], [1.0] * 2, [1.0]),
     2.0, [(2, (0, 0, 0), (0, 0, 1), 0)], [2.0], {(0, 0, 1): 0}),
    ("max NaN", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4}, ONES, NAN, [], [], {}),
    ("spacing NaN", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4, (0, 1, 0): 4},
     ([NAN, 1, 1], [1.0] * 2, [1.0]), 2.0, [(2, (0, 0, 0), (0, 1, 0), 0)], [1.0],
     {(0, 1, 0): 0}),
    # Equal spacings: the later axis wins when the spacing is exact in single
    # precision or rounds up there, the earlier keeps the pair when it rounds down.
    ("tie exact", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4, (0, 1, 0): 4},
     ([0.5, 1, 1], [0.5, 1], [1.0]), 1.0, [(2, (0, 0, 0), (0, 1, 0), 0)], [0.5],
     {(0, 1, 0): 0}),
    ("tie rounding up", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4, (0, 1, 0): 4},
     ([0.1, 1, 1], [0.1, 1], [1.0]), 1.0, [(2, (0, 0, 0), (0, 1, 0), 0)],
     [float(np.float32(0.1))], {(0, 1, 0): 0}),
    ("tie rounding down", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4, (0, 1, 0): 4},
     ([0.7, 1, 1], [0.7, 1], [1.0]), 1.0, [(2, (0, 0, 0), (0, 0, 1), 0)],
     [float(np.float32(0.7))], {(0, 0, 1): 0}),
    # The running best is held in single precision: a larger double still wins
    # when it does not exceed the rounded best.
    ("best held in single precision", SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4, (0, 1, 0): 4},
     ([0.1, 1, 1], [0.1 + 1e-12, 1], [1.0]), 1.0, [(2, (0, 0, 0), (0, 1, 0), 0)],
     [float(np.float32(0.1))], {(0, 1, 0): 0}),
    ("spacing list folds repeats", (1, 1, 8), {(0, 0, i): 4 for i in range(8)},
     ([0.5, 9, 0.5, 9, 0.25, 9, 0.5], [], []), 1.0,
     [(2, (0, 0, 0), (0, 0, 1), 0), (2, (0, 0, 2), (0, 0, 3), 0),
      (2, (0, 0, 4), (0, 0, 5), 1), (2, (0, 0, 6), (0, 0, 7), 2)],
     [0.5, 0.25, 0.5], {(0, 0, i): 0 for i in (1, 3, 5, 7)}),
    ("cell in two pairs", SHAPE, {(0, 0, 0): 3, (0, 1, 0): 1, (0, 0, 1): 2},
     ([0.5] * 3, [0.25] * 2, [1.0]), 1.0,
     [(0, (0, 0, 0), (0, 1, 0), 0), (1, (0, 0, 0), (0, 0, 1), 1)], [0.25, 0.5],
     {(0, 1, 0): 0, (0, 0, 1): 0}),
]


@pytest.mark.parametrize("layout", ["contiguous", "strided"])
@pytest.mark.parametrize("shape, marks, spacing, max_spacing, pairs, spacings, changes",
                         [case[1:] for case in SCANS], ids=[case[0] for case in SCANS])
def test_scan(layout, shape, marks, spacing, max_spacing, pairs, spacings, changes):
    mask, values, dx, dy, dz = make_grid(shape, marks, *spacing, layout=layout)
    want_mask = mask.copy()
    for cell, byte in changes.items():
        want_mask[cell] = byte
    result = surfloss.surfloss(1, len(pairs), mask, values, dx, dy, dz, max_spacing)
    assert type(result) is tuple and result[0] == len(pairs) and result[1] != 0
    got, got_spacings = read_back(result, values)
    assert got == expected(values, pairs)
    assert got_spacings == spacings
    np.testing.assert_array_equal(mask, want_mask)


def four_in_a_row(capacity=2, order=1):
    grid = make_grid(SHAPE, {(0, 0, i): 0x0A for i in range(4)}, [0.5] * 3, [1.0] * 2, [1.0])
    return grid, surfloss.surfloss(order, capacity, *grid, 2.0)


@pytest.mark.parametrize("order", [1, 3])
def test_state_buffers(order):
    _, (count, handle, _) = four_in_a_row(order=order)
    states = [r.state for r in records(handle, count)]
    assert all(states) and len(set(states)) == count
    for state in states:
        assert list((ctypes.c_float * (order - 1)).from_address(state)) == [0.0] * (order - 1)


def test_spare_capacity_and_distinct_handles():
    (_, values, *_), (count, handle, _) = four_in_a_row(capacity=5)
    spare = records(handle, 5)[count:]
    assert all(r.cell is None and r.value == 0 and r.state is None for r in spare)
    _, (_, other, _) = four_in_a_row()
    assert other != handle


def test_keeps_values_alive():
    (mask, values, dx, dy, dz), _ = four_in_a_row()
    mask[0, 0, 1] = mask[0, 0, 3] = 0x0A
    before = sys.getrefcount(values)
    count, handle, _ = surfloss.surfloss(1, 2, mask, values, dx, dy, dz, 2.0)
    assert sys.getrefcount(values) == before + 1
    cell = address(values, 1, (0, 0, 0))
    alive = weakref.ref(values)
    del values
    gc.collect()
    assert alive() is not None and records(handle, count)[0].cell == cell


def replace(position, make):
    def change(args):
        args = list(args)
        args[position] = make(args[position])
        return args
    return change


def read_only(a):
    view = a.view()
    view.flags.writeable = False
    return view


# id, change to the arguments (order, capacity, mask, values, dx, dy, dz, max_spacing), message
SURFLOSS_REFUSALS = [
    ("too few arguments", lambda a: a[:-1], "Error parsing args"),
    ("order not an int", replace(0, lambda _: "1"), "Error parsing args"),
    ("mask not an array", replace(2, lambda m: m.tolist()), "Array expected"),
    ("dz not an array", replace(6, lambda _: None), "Array expected"),
    ("array test before order", lambda a: [0] + a[1:6] + [None, a[7]], "Array expected"),
    ("order 0", replace(0, lambda _: 0), "Invalid value: order"),
    ("capacity -1", replace(1, lambda _: -1), "Invalid value: capacity"),
    ("mask 2-D", replace(2, lambda m: m[0]), "Wrong number of dimensions: mask"),
    ("mask int16", replace(2, lambda m: m.astype(np.int16)), "Wrong element size: mask"),
    ("mask read-only", replace(2, read_only), "Array not writeable: mask"),
    ("values 3-D", replace(3, lambda v: v[0]), "Wrong number of dimensions: values"),
    ("values of two axes", replace(3, lambda v: v[:2]), "Array too small: values"),
    ("values short along i", replace(3, lambda v: v[..., :-1]), "Array too small: values"),
    ("values float64", replace(3, lambda v: v.astype(np.float64)), "Wrong element size: values"),
    ("dx short", replace(4, lambda d: d[:-1]), "Array too small: dx"),
    ("dy strided", replace(5, lambda d: np.repeat(d, 2)[::2]), "Array not contiguous: dy"),
    ("dz float32", replace(6, lambda d: d.astype(np.float32)), "Wrong element size: dz"),
    ("capacity exceeded after a pair", replace(1, lambda _: 1), "Capacity exceeded"),
    ("capacity exceeded at once", replace(1, lambda _: 0), "Capacity exceeded"),
]


@pytest.mark.parametrize("change, message", [c[1:] for c in SURFLOSS_REFUSALS],
                         ids=[c[0] for c in SURFLOSS_REFUSALS])
def test_surfloss_refusals(change, message):
    (mask, values, dx, dy, dz), _ = four_in_a_row()
    mask[0, 0, 1] = mask[0, 0, 3] = 0x0A
    arrays = [a.copy() for a in (mask, values, dx, dy, dz)]
    refs = [sys.getrefcount(a) for a in (mask, values)]
    with pytest.raises(Exception) as refused:
        surfloss.surfloss(*change([1, 2, mask, values, dx, dy, dz, 2.0]))
    assert type(refused.value) is Exception and refused.value.args == (message,)
    for now, before in zip((mask, values, dx, dy, dz), arrays):
        np.testing.assert_array_equal(now, before)
    assert [sys.getrefcount(a) for a in (mask, values)] == refs


def test_memory_full(python_subprocess):
    """Failing allocations raise the module's error and undo the scan."""
    done = python_subprocess("""
        import resource
        import numpy as np
        import surfloss

        mask = np.zeros((1, 1, 2), np.uint8)
        mask[...] = 4
        values = np.ones((3, 1, 1, 2), np.float32)
        dx, dy, dz = np.ones(1), np.ones(0), np.ones(0)
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (256 << 20),) * 2)
        for order, capacity in [(1, 2**31 - 1), (2**30, 1)]:
            try:
                surfloss.surfloss(order, capacity, mask, values, dx, dy, dz, 2.0)
            except Exception as e:
                print(type(e).__name__, e.args, mask.ravel().tolist())
    """, env={"OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "Exception ('Error Alloc SURFLOSS: Memory Full',) [4, 4]"] * 2


def coefficient(u, x, scale, divisor):
    """skincoeff's steps: single precision after the division and after the sum."""
    f64 = np.float64
    with np.errstate(all="ignore"):
        d = np.float32(f64(x) / f64(divisor))
        e = np.float32(f64(d) + 0.5 * f64(u))
        return np.float32(f64(1.0) / f64(e) * f64(u) / f64(scale))


def same(got, want):
    return np.isnan(got) and np.isnan(want) or np.float32(got) == want


@pytest.mark.parametrize("u, x, scale, divisor", [
    (1.0, 1.0, 1.0, 1.0),       # x = u: 1 / (scale (1 / divisor + 1/2))
    (0.3, 0.7, 3.0, 7.0),
    (1e-3, 5.0, 0.1, 3.0),
    (2.0, -1.0, 1.0, 1.0),      # e = 0: infinite
    (0.0, 0.0, 1.0, 1.0),       # e = 0 and u = 0: NaN
], ids=["unchanged cell", "rounding", "small value", "infinite", "nan"])
def test_skincoeff_formula(u, x, scale, divisor):
    mask, values, dx, dy, dz = make_grid(SHAPE, {(0, 0, 0): 4, (0, 0, 1): 4}, *ONES)
    values[2, 0, 0, 0] = u
    count, handle, _ = surfloss.surfloss(1, 1, mask, values, dx, dy, dz, 2.0)
    values[2, 0, 0, 0] = x
    assert surfloss.skincoeff(count, handle, scale, divisor) is None
    assert same(records(handle, 1)[0].value, coefficient(np.float32(u), np.float32(x), scale, divisor))


def test_skincoeff_twice_with_changed_cell():
    (_, values, *_), (count, handle, _) = four_in_a_row()
    recs = records(handle, count)
    cells = [(0, 0, 0), (0, 0, 2)]
    scanned = [values[(1,) + c] for c in cells]
    surfloss.skincoeff(count, handle, 2.0, 3.0)
    first = [coefficient(u, u, 2.0, 3.0) for u in scanned]
    assert [r.value for r in recs] == first
    values[1, 0, 0, 2] = 40.0
    surfloss.skincoeff(count, handle, 2.0, 3.0)
    assert [r.value for r in recs] == [coefficient(first[0], scanned[0], 2.0, 3.0),
                                       coefficient(first[1], 40.0, 2.0, 3.0)]
    assert [(r.cell, r.partner, r.spacing_index) for r in recs] == [
        (address(values, 1, c), address(values, 1, (0, 0, c[2] + 1)), 0) for c in cells]


def test_skincoeff_counts():
    (_, values, *_), (count, handle, _) = four_in_a_row(capacity=5)
    recs = records(handle, count)
    before = [r.value for r in recs]
    assert surfloss.skincoeff(0, handle, 2.0, 3.0) is None
    assert [r.value for r in recs] == before
    surfloss.skincoeff(1, handle, 2.0, 3.0)
    assert [r.value for r in recs] == [coefficient(before[0], before[0], 2.0, 3.0), before[1]]


def test_capacity_zero_hands_out_a_handle():
    mask, values, dx, dy, dz = make_grid(SHAPE, {}, *ONES)
    count, handle, spacings = surfloss.surfloss(1, 0, mask, values, dx, dy, dz, 1.0)
    assert (count, spacings) == (0, []) and handle != 0
    assert surfloss.skincoeff(0, handle, 1.0, 1.0) is None
    with pytest.raises(Exception, match="^Invalid handle$"):
        surfloss.skincoeff(1, handle, 1.0, 1.0)


# id, arguments from (record_count, handle), message
SKINCOEFF_REFUSALS = [
    ("too few arguments", lambda n, h: (n, h, 1.0), "Error parsing args"),
    ("handle not an int", lambda n, h: (n, float(h), 1.0, 1.0), "Error parsing args"),
    ("unknown handle", lambda n, h: (n, 12345, 1.0, 1.0), "Invalid handle"),
    ("null handle", lambda n, h: (0, 0, 1.0, 1.0), "Invalid handle"),
    ("inside the array", lambda n, h: (1, h + ctypes.sizeof(SkinRecord), 1.0, 1.0),
     "Invalid handle"),
    ("negative count", lambda n, h: (-1, h, 1.0, 1.0), "Invalid handle"),
    ("spare records", lambda n, h: (n + 1, h, 1.0, 1.0), "Invalid handle"),
]


@pytest.mark.parametrize("make, message", [c[1:] for c in SKINCOEFF_REFUSALS],
                         ids=[c[0] for c in SKINCOEFF_REFUSALS])
def test_skincoeff_refusals(make, message):
    _, (count, handle, _) = four_in_a_row(capacity=5)
    recs = records(handle, 5)
    before = bytes(recs)
    with pytest.raises(Exception) as refused:
        surfloss.skincoeff(*make(count, handle))
    assert type(refused.value) is Exception and refused.value.args == (message,)
    assert bytes(recs) == before
