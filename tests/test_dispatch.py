"""cellcoef.dispatch: one grid line to a run table whose records point at
parameter vectors in the store."""
import numpy as np
import pytest

import cellcoef
import rlearray
from coefficients import coefficient_pair
from store_lines import floats_at

f32 = np.float32
NZ, NY = 2, 3
Z, Y = 1, 2


def recover(pm, pl):
    pm, pl = float(pm), float(pl)
    if pm == 0.0:
        return f32(0), f32(1e30)
    return f32((pl + 1.0) * 0.5 / pm), f32((1.0 - pl) / pm)


def records(runs):
    used = int(runs[0])
    assert (used - 1) % 5 == 0
    return [tuple(int(v) for v in runs[i:i + 5]) for i in range(1, used, 5)]


class Ext:
    """An `ext` item: attributes only."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


def loss_profiles(n, columns=None):
    """Profiles along x, y and z, positions 4 bytes apart (column-major)."""
    profiles = [np.zeros((size, 12), np.float32, order="F") for size in (n, NY, NZ)]
    for (axis, p, m), v in (columns or {}).items():
        profiles[axis][p, m] = v
    return profiles


class Line:
    """A line (Z, Y) of n cells with rows, norms and a fresh store."""

    def __init__(self, codes, rows=6, gw=1, lossy=False, norm=None):
        self.n = n = len(codes)
        self.gw = gw
        self.codes = np.zeros((NZ, NY, n), np.int16)
        self.codes[Z, Y] = np.array(codes, np.int64).astype(np.uint16).view(np.int16)
        x = np.arange(n)
        self.pm = [np.full((NZ, NY, n), 0.5, np.float32) for _ in range(rows)]
        self.pl = [np.ones((NZ, NY, n), np.float32) for _ in range(rows)]
        for k in range(rows):
            self.pm[k][Z, Y] = f32(0.25) + f32(0.03125) * k + f32(0.001953125) * x
            if lossy:
                self.pl[k][Z, Y] = f32(0.75) - f32(0.015625) * k
        self.norms = [np.ones((NY, 6 * gw), np.float32), np.ones((NZ, 6 * gw), np.float32),
                      np.ones((NY, 6), np.float32), np.ones((NZ, 6), np.float32)]
        if norm is not None:
            self.norms[0][Y] = np.arange(1, 6 * gw + 1) * 0.5
            self.norms[1][Z] = 1.0 / 3.0
            self.norms[2][Y] = [1, 2, 3, 0.5, 0.25, 1.5]
            self.norms[3][Z] = [1.0 / 3, 1, 2, 2, 4, 0.1]
        self.ext = [Ext(loss=loss_profiles(n)), Ext(max_stab_par=0.25)]
        self.runs = np.zeros(1 + 5 * n // gw, np.int32)
        self.og = np.zeros(2100, np.int32)

    def lists(self):
        return [[rlearray.RleArray(a) for a in self.pm], [rlearray.RleArray(a) for a in self.pl]]

    def call(self, pass_=0, **extra):
        cellcoef.dispatch(self.runs, self.og, self.gw, pass_, Z, Y, self.codes, self.lists(),
                          self.ext, self.norms, *extra_args(**extra))
        return records(self.runs)

    def row(self, rows, k):
        return rows[k][Z, Y]

    def stats(self):
        return cellcoef.stats(self.og)


def extra_args(lossy3=0, dtfact=1.0, ntail=0):
    return [lossy3, dtfact, ntail]


@pytest.fixture
def run_limit():
    yield cellcoef.setrun
    cellcoef.setrun(1000)


# Codes, group width, pass, run limit -> records as (x, dx, code, has params).
RUN_CASES = [
    ("one run of five", [0x0007] * 5, 1, 0, None, [(0, 5, 0x0107, True)]),
    ("run limit 2", [0x0007] * 5, 1, 0, 2,
     [(0, 2, 0x0107, True), (2, 2, 0x0107, True), (4, 1, 0x0007, True)]),
    ("subset between equal codes is smoothed", [0x0003, 0x0001, 0x0003], 1, 0, None,
     [(0, 3, 0x0103, True)]),
    ("no smoothing across a tag", [0x0003, 0x0401, 0x0003], 1, 0, None,
     [(0, 1, 0x0003, True), (1, 1, 0x04c1, True), (2, 1, 0x0003, True)]),
    ("a cell without components is not smoothed", [0x0003, 0x0000, 0x0003], 1, 0, None,
     [(0, 1, 0x0003, True), (1, 1, 0x0000, False), (2, 1, 0x0003, True)]),
    ("groups share their OR", [0x0001, 0x0002, 0x0004, 0x0004], 2, 0, None,
     [(0, 2, 0x0003, True), (2, 2, 0x0004, True)]),
    ("first pass drops 0xb8 of both-pass runs", [0x023f, 0x023f, 0x0007, 0x0007], 1, 0, None,
     [(0, 2, 0x0307, True), (2, 2, 0x0107, True)]),
    ("a last cell is smoothed towards its left", [0x023f, 0x023f, 0x0007], 1, 0, None,
     [(0, 3, 0x0307, True)]),
    ("second pass records only both-pass runs", [0x023f, 0x023f, 0x0007, 0x0207], 1, 1, None,
     [(0, 2, 0x0338, True), (3, 1, 0x0200, False)]),
]


@pytest.mark.parametrize("codes, gw, pass_, limit, expected",
                         [c[1:] for c in RUN_CASES], ids=[c[0] for c in RUN_CASES])
def test_runs(codes, gw, pass_, limit, expected, run_limit):
    line = Line(codes, gw=gw)
    if limit is not None:
        run_limit(limit)
    got = line.call(pass_)
    assert [(x, dx, code, params != 0) for x, dx, params, code, _ in got] == expected
    assert line.runs[0] == 1 + 5 * len(expected)


# Each bit of the code word as dispatch applies it, at values where a wrong
# mask shows: codes, group width and pass -> records (x, dx, code) and the
# codes written back to the host.
BIT_CASES = [
    ("first pass: a both-pass run drops the second triple and its lossy flag",
     [0x02ff] * 2, 1, 0, [(0, 2, 0x0347)], [0x02ff] * 2),
    ("second pass: a both-pass run drops the first triple and its lossy flag",
     [0x02ff] * 2, 1, 1, [(0, 2, 0x03b8)], [0x02ff] * 2),
    ("a group shares components, lossy flags and the both-pass bit",
     [0x0241, 0x0082], 2, 0, [(0, 2, 0x0243)], [0x02c3, 0x02c3]),
    ("a group takes neither the multigroup bit nor bits above the tag",
     [0x0101, 0x0002, 0x1001, 0x0004], 2, 0, [(0, 2, 0x0103), (2, 2, 0x1005)],
     [0x0103, 0x0003, 0x1005, 0x0005]),
]


@pytest.mark.parametrize("codes, gw, pass_, expected, written",
                         [c[1:] for c in BIT_CASES], ids=[c[0] for c in BIT_CASES])
def test_code_word_bits(codes, gw, pass_, expected, written):
    line = Line(codes, gw=gw)
    assert [(x, dx, code) for x, dx, _, code, _ in line.call(pass_)] == expected
    np.testing.assert_array_equal(line.codes[Z, Y],
                                  np.array(written, np.int64).astype(np.uint16).view(np.int16))


def test_plain_run_vectors_read_back():
    """One run of five plain cells: params are the scaled pm rows cell by cell,
    aux the six norm products; both lie in the store and are folded there."""
    line = Line([0x0007] * 5, norm=True)
    (rec,) = line.call()
    x, dx, params, code, aux = rec
    assert (x, dx, code) == (0, 5, 0x0107)
    f = line.norms[2][Y] * line.norms[3][Z]
    expected = np.array([[f[j] * line.row(line.pm, j)[c] for j in range(6)] for c in range(5)],
                        np.float32).ravel()
    np.testing.assert_array_equal(floats_at(params, 30), expected)
    np.testing.assert_array_equal(floats_at(aux, 6), line.norms[0][Y] * line.norms[1][Z])
    ring, direct, hits, inserts, _, large, _ = line.stats()
    assert (ring, direct, hits, inserts, large) == (4 * 36, 0, 0, 2, 0)
    # The same line again folds both vectors into the stored ones.
    line.codes[Z, Y] = 0x0007
    (again,) = line.call()
    assert again[2] == params and again[4] == aux
    assert line.stats()[2:4] == (2, 2)


def test_lossy3_stores_three_pl_rows():
    line = Line([0x0047] * 2, lossy=True)
    ((_, _, params, code, _),) = line.call(lossy3=1)
    assert code == 0x0147
    got = floats_at(params, 2 * 9).reshape(2, 9)
    for c in range(2):
        np.testing.assert_array_equal(got[c, :6], [line.row(line.pm, j)[c] for j in range(6)])
        np.testing.assert_array_equal(got[c, 6:], [line.row(line.pl, j)[c] for j in range(3)])
    # Without lossy3 all six pl rows follow.
    line2 = Line([0x0047] * 2, lossy=True)
    ((_, _, params2, _, _),) = line2.call()
    assert floats_at(params2, 24).reshape(2, 12)[:, 6:].tolist() == \
        [[line2.row(line2.pl, j)[c] for j in range(6)] for c in range(2)]


def test_dtfact_recomputes_every_pair():
    line = Line([0x00c7] * 3, lossy=True)
    ((_, _, params, _, _),) = line.call(dtfact=2.0)
    got = floats_at(params, 3 * 12).reshape(3, 12)
    for c in range(3):
        for k in range(6):
            a, b = recover(line.row(line.pm, k)[c], line.row(line.pl, k)[c])
            pm, pl = coefficient_pair(f32(float(a) / 2.0), b)
            assert (got[c, k], got[c, 6 + k]) == (pm, pl)


def test_split_loss_line():
    """Cells 1 to 3 carry the PML tag: twelve rows each from the loss profiles,
    no norm scaling, a zeroed aux block of 12 floats per cell."""
    line = Line([0x0007, 0x0407, 0x0407, 0x0407, 0x0007], lossy=True, norm=True)
    line.ext[0] = Ext(loss=loss_profiles(5, {(0, 2, 4): -0.1, (1, Y, 4): 0.05, (2, Z, 0): 0.2}))
    got = line.call()
    assert [(x, dx, code) for x, dx, _, code, _ in got] == \
        [(0, 1, 0x0007), (1, 3, 0x05c7), (4, 1, 0x0007)]
    _, _, params, _, aux = got[1]
    vec = floats_at(params, 3 * 24).reshape(3, 2, 12)
    for c, x in enumerate((1, 2, 3)):
        q = [line.row(line.pm, i)[x] for i in range(6)]
        r = [line.row(line.pl, i)[x] for i in range(6)]
        for m in range(12):
            sx = -0.1 if (x, m) == (2, 4) else 0.0
            sy = 0.05 if m == 4 else 0.0
            sz = 0.2 if m == 0 else 0.0
            s = f32(abs(f32(sx))) + f32(abs(f32(sy))) + f32(sz)
            f = f32(1)
            if f32(sx) < 0:
                f, s = f32(2), f32(2) * s
            e, g = (f32(1), f32(1)) if s < 1e-7 else (f32(np.exp(-float(s))), None)
            if g is None:
                g = (f32(1) - e) / s
            assert vec[c, 0, m] == f * q[m // 2] * g, (x, m)
            assert vec[c, 1, m] == e * r[m // 2], (x, m)
    np.testing.assert_array_equal(floats_at(aux, 36), np.zeros(36, np.float32))
    assert line.stats()[1] == 4 * 36
    assert (line.codes[Z, Y] & 0xc0).tolist() == [0, 0xc0, 0xc0, 0xc0, 0]


def test_lumped_line():
    """A lumped cell with a third term: rows 0 to 2 fold the term in, rows 6 to
    8 are scaled by the new main coefficients, nine pm and nine pl rows."""
    line = Line([0x0807, 0x0007], rows=9)
    for k in range(6, 9):
        line.pm[k][Z, Y, 0], line.pl[k][Z, Y, 0] = coefficient_pair(2.0, 0.25)
    ((x, dx, params, code, aux), _) = line.call()
    assert (x, dx, code) == (0, 1, 0x08c7)
    vec = floats_at(params, 18)
    for i in range(3):
        a, b = recover(line.row(line.pm, i)[0], line.row(line.pl, i)[0])
        ak, _ = recover(line.row(line.pm, 6 + i)[0], line.row(line.pl, 6 + i)[0])
        s = f32(1) / ak
        pm, pl = coefficient_pair(f32(float(a) + float(s) / 0.25), b)
        assert (vec[i], vec[9 + i]) == (pm, pl)
        assert vec[6 + i] == line.row(line.pm, 6 + i)[0] * pm
    np.testing.assert_array_equal(vec[3:6], [line.row(line.pm, k)[0] for k in range(3, 6)])
    np.testing.assert_array_equal(floats_at(aux, 3), np.zeros(3, np.float32))
    assert line.stats()[1] == 12


DEBUG_LINES = """
    import numpy as np, cellcoef, rlearray
    codes = np.full((1, 2, 4), 0x47, np.int16)
    values = np.full((1, 2, 4), 0.5, np.float32)
    values[0, 1, 3] = 0.25          # line 1's vector differs from line 0's at position 3
    pm = [rlearray.RleArray(values) for _ in range(6)]
    norms = [np.ones((2, 24), np.float32), np.ones((1, 24), np.float32),
             np.ones((2, 6), np.float32), np.ones((1, 6), np.float32)]
    og = np.zeros(2100, np.int32)
    for y in (0, 1):
        cellcoef.dispatch(np.zeros(6, np.int32), og, 4, 0, 0, y, codes, [pm, pm], [], norms)
"""
HEAD = "z=  0 y=  0 x=  0 dx=  4 DEBUG Orga: LOSSY  "
VECTOR = "DEBUG orga insert:  npar 48\n"


# QUORAN_DEBUG_ORGA -> what its bits print on stdout, and what they leave out.
@pytest.mark.parametrize("mask, printed, not_printed", [
    ("100", [HEAD + "DEBUG ORGA insert: npar 48 FAIL\n\n", "npar 24 HIT\n\n"], [VECTOR]),
    ("200", [HEAD + VECTOR, "DEBUG ORGA: cmp 3 : 2.500000000000000e-01 != "
                            "5.000000000000000e-01 (TOL 1.000e-06)\n"], [" 0 5.0", "FAIL"]),
    ("400", [HEAD + VECTOR + " 0 5.00000000e-01\n 1 5.00000000e-01\n"], ["cmp", "FAIL"]),
    ("800", [HEAD + "z=  0 y=  1 x=  0 dx=  4 DEBUG Orga: LOSSY  "], ["orga", "ORGA"]),
    ("0", [], ["z="]),
], ids=["insert result", "compare", "vector", "line heads only", "off"])
def test_debug_mask_bits(python_subprocess, mask, printed, not_printed):
    out = python_subprocess(DEBUG_LINES, env={"QUORAN_DEBUG_ORGA": mask})
    assert out.returncode == 0, out.stderr
    for text in printed[:1]:
        assert out.stdout.startswith(text)
    for text in printed:
        assert text in out.stdout
    for text in not_printed:
        assert text not in out.stdout
    if not printed:
        assert out.stdout == ""


def test_whole_model_two_passes():
    """last for every component, then dispatch for every line and both passes:
    the first pass tiles every line, the second records exactly the cells of
    both-pass runs; every vector lies in the store."""
    nz, ny, nx = 3, 4, 8
    rng = np.random.default_rng(7)
    codes = np.full((nz, ny, nx), 0x3f, np.int16)
    codes[:, :, [0, nx - 1]] |= 0x0600          # PML borders, both passes
    codes[1, 2, 3] |= 0x0800                     # one lumped cell
    eps = np.where(rng.random((nz, ny, nx)) < 0.5, 1.0, 4.0).astype(np.float32)
    sigma = np.where(rng.random((nz, ny, nx)) < 0.2, 0.5, 0.0).astype(np.float32)
    pm, pl = [], []
    for bit in range(9):  # two terms of three components, one extra term
        a = rlearray.RleArray(eps if bit < 6 else eps * 2)
        b = rlearray.RleArray(sigma)
        m, l, _ = cellcoef.last(a, b, codes, bit, 1.0)
        pm.append(m)
        pl.append(l)
    ext = [Ext(loss=[np.full((n, 12), 0.01, np.float32, order="F") for n in (nx, ny, nz)]),
           Ext(max_stab_par=0.5)]
    norms = [np.ones((ny, 6), np.float32), np.ones((nz, 6), np.float32),
             np.ones((ny, 6), np.float32), np.ones((nz, 6), np.float32)]
    og = np.zeros(2100, np.int32)
    inserts_expected = 0
    for pass_ in (0, 1):
        for z in range(nz):
            for y in range(ny):
                runs = np.full(1 + 5 * nx, -1, np.int32)
                cellcoef.dispatch(runs, og, 1, pass_, z, y, codes, [pm, pl], ext, norms)
                recs = records(runs)
                covered = [x for x0, dx, *_ in recs for x in range(x0, x0 + dx)]
                if pass_ == 0:
                    assert covered == list(range(nx))
                else:
                    assert covered == [x for x in range(nx) if codes[z, y, x] & 0x200]
                for x0, dx, params, code, aux in recs:
                    assert dx >= 1 and (code & 0x100 != 0) == (dx > 1)
                    assert params != 0 and aux != 0
                    rows = {0: 6, 1: 12, 2: 9}[(code >> 10) & 3]
                    lossy = 2 if code & 0xc0 else 1
                    vec = floats_at(params, dx * rows * lossy)
                    assert np.all(np.isfinite(vec))
                    inserts_expected += 1 + ((code >> 10) & 3 == 0)
    ring, direct, hits, inserts, blocks, large, zero = cellcoef.stats(og)
    assert hits + inserts == inserts_expected
    assert hits > inserts  # equal runs fold across lines
    assert direct > 0 and blocks >= 1 and large == 0 and zero == 0


def refusal(name, message, stderr=None, codes=None, lists=None, kw=None, **attrs):
    """A refused call: the line's codes, the coefficient lists, the optional
    arguments and the attributes of the Line to change; the message raised and
    a diagnostic expected on stderr."""
    return pytest.param(codes, lists, kw or {}, attrs, message, stderr, id=name)


def readonly(a):
    view = a.view()
    view.flags.writeable = False
    return view


def unaligned(a):
    """A copy of `a` whose data starts one byte off its element alignment."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    view = raw[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def not_rle(which):
    def change(ls):
        ls[which][2] = np.zeros((NZ, NY, 4), np.float32)
        return ls
    return change


def longer_pm(ls):
    ls[0][3] = rlearray.RleArray(np.zeros((NZ, NY, 5), np.float32))
    return ls


PML = [0x0407, 0x0007, 0x0007, 0x0007]
LUMPED = [0x0807, 0x0007, 0x0007, 0x0007]
REFUSALS = [
    refusal("codes not an array", "Array expected", codes_obj=[0] * 4),
    refusal("runs too small", "Array too small: runs", runs=np.zeros(20, np.int32)),
    refusal("runs of int16", "Wrong element size: runs", runs=np.zeros(21, np.int16)),
    refusal("runs read-only", "Array not writeable: runs", runs=lambda l: readonly(l.runs)),
    refusal("codes read-only", "Array not writeable: codes",
            codes_obj=lambda l: readonly(l.codes)),
    refusal("norms not aligned", "Array not aligned: norms[3]",
            norms=lambda l: l.norms[:3] + [unaligned(l.norms[3])]),
    refusal("codes of int32", "Wrong element size: codes",
            codes_obj=lambda l: l.codes.astype(np.int32)),
    refusal("codes two-dimensional", "Wrong number of dimensions: codes",
            codes_obj=lambda l: l.codes[Z]),
    refusal("line outside codes", "Line outside the array: codes",
            codes_obj=lambda l: l.codes[:, :Y]),
    refusal("codes not contiguous along x", "Array not contiguous: codes",
            codes_obj=lambda l: np.repeat(l.codes, 2, axis=2)[:, :, ::2]),
    # The store writes its header while records and codes go out: an overlap
    # would turn them into header addresses.
    refusal("runs inside the store header", "Array overlaps og: runs",
            runs=lambda l: l.og[100:121]),
    refusal("codes line inside the store header", "Array overlaps og: codes",
            codes_obj=lambda l: l.og.view(np.int16).reshape(NZ, NY, 700),
            runs=np.zeros(1 + 5 * 700, np.int32)),
    refusal("group width 0", "Value out of range: group_width", gw=0),
    refusal("n not a multiple of the group width",
            "Line length not a multiple of the group width: codes", gw=3),
    refusal("norm row too short for the group width", "Array too small: norms[0]",
            norms=lambda l: [l.norms[0][:, :5]] + l.norms[1:]),
    refusal("norm rows do not reach y", "Array too small: norms[2]",
            norms=lambda l: l.norms[:2] + [l.norms[2][:Y]] + l.norms[3:]),
    refusal("short norms", "Missing item: norms",
            "Array access out of bounds: norms[3], Length is 3\n", norms=lambda l: l.norms[:3]),
    refusal("coef_lists of three", "Sequence length 2 expected", lists=lambda ls: ls + [[]]),
    refusal("pm not a sequence", "Sequence expected", lists=lambda ls: [None, ls[1]]),
    refusal("ext not a sequence", "Sequence expected", ext=3),
    refusal("RLE line longer than codes", "Wrong line length: pm", lists=longer_pm),
    refusal("pm item not an RLE array", "rle_check(q)",
            "cellcoef:463: Assertion `rle_check(q)' failed.\n", lists=not_rle(0)),
    refusal("pl item not an RLE array", "rle_check(q)",
            "cellcoef:475: Assertion `rle_check(q)' failed.\n", lists=not_rle(1)),
    refusal("store array of 8044 bytes",
            "unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)",
            "cellcoef:450: Assertion `unsigned(og->strides[0]*og->dimensions[0]) > sizeof(*o)' "
            "failed.\n", og=np.zeros(2011, np.int32)),
    refusal("mixed PML group", "Illegal Material Combination",
            "\n\n ERROR: Illegal Material Combination e.g. PML/surf\nx 2 y 2 z1 407!=7\n",
            codes=[0x0007, 0x0007, 0x0007, 0x0407], gw=2,
            norms=lambda l: [np.ones((NY, 12), np.float32), np.ones((NZ, 12), np.float32)]
            + l.norms[2:]),
    refusal("tag 3", "Treatment 3 not implemented", codes=[0x0c07] * 4),
    refusal("dtfact with a lumped cell of three terms", "DTFACT problem", codes=LUMPED,
            lists=lambda ls: [ls[0] + ls[0][:3], ls[1] + ls[1][:3]], kw={"dtfact": 2.0}),
    refusal("ntail beyond the extra terms", "Value out of range: ntail", codes=LUMPED,
            kw={"ntail": 1}),
    refusal("lumped with one term", "Too few terms: pm", codes=LUMPED,
            lists=lambda ls: [ls[0][:5], ls[1]]),
    refusal("short ext", "Missing item: ext", "Array access out of bounds: ext[0], Length is 0\n",
            codes=PML, ext=[]),
    refusal("no loss attribute", "Missing attribute: loss", codes=PML, ext0=Ext()),
    refusal("loss not a sequence", "Missing item: loss",
            "Array Expected: los\nArray access out of bounds: los[0], Length is -1\n", codes=PML,
            ext0=Ext(loss=3)),
    refusal("loss profile not an array", "PML Problem", codes=PML,
            ext0=Ext(loss=loss_profiles(4)[:2] + [[0.0]])),
    refusal("loss of two profiles", "Missing item: loss",
            "Array access out of bounds: los[2], Length is 2\n", codes=PML,
            ext0=Ext(loss=loss_profiles(4)[:2])),
    refusal("x profile too short", "Array too small: loss[0]", codes=[7, 7, 7, 0x0407],
            ext0=Ext(loss=loss_profiles(3)[:1] + loss_profiles(4)[1:])),
    refusal("profile positions not 4 bytes apart", "Array not contiguous: loss[0]", codes=PML,
            ext0=Ext(loss=[np.ascontiguousarray(p) for p in loss_profiles(4)])),
    refusal("no max_stab_par", "Missing attribute: max_stab_par", codes=LUMPED, ext1=Ext()),
    refusal("max_stab_par not a number", "LR  Problem", codes=LUMPED,
            ext1=Ext(max_stab_par="0.5")),
]


@pytest.mark.parametrize("codes, change_lists, kw, attrs, message, stderr", REFUSALS)
@pytest.mark.parametrize("store", ["fresh", "used"])
def test_refusals_change_nothing(codes, change_lists, kw, attrs, message, stderr, store, capfd):
    line = Line([0x0007] * 4)
    if store == "used":
        line.call()
    if codes is not None:
        line.codes[Z, Y] = codes
    codes_obj = line.codes
    for name, value in attrs.items():
        value = value(line) if callable(value) else value
        if name == "codes_obj":
            codes_obj = value
        elif name.startswith("ext") and name != "ext":
            line.ext[int(name[3])] = value
        else:
            setattr(line, name, value)
    lists = line.lists()
    if change_lists is not None:
        lists = change_lists(lists)
    before = [np.copy(a) for a in (line.codes, line.runs, line.og)]
    counters = cellcoef.stats(line.og)
    capfd.readouterr()
    with pytest.raises(Exception) as failure:
        cellcoef.dispatch(line.runs, line.og, line.gw, 0, Z, Y, codes_obj, lists, line.ext,
                          line.norms, *extra_args(**kw))
    assert type(failure.value) is Exception
    assert str(failure.value) == message
    if stderr is not None:
        assert stderr in capfd.readouterr().err
    for now, then in zip((line.codes, line.runs, line.og), before):
        np.testing.assert_array_equal(now, then)
    assert cellcoef.stats(line.og) == counters


def test_runs_right_after_the_store_header():
    """The header is 8044 bytes: a run table that starts where it ends is the
    host's to use, and the header stays intact."""
    line = Line([0x0007] * 4)
    line.og = np.zeros(2011 + 21, np.int32)
    line.runs = line.og[2011:]
    assert line.call() == line.call()
    assert line.stats()[2:4] == (2, 2)
