// yeestep: the time-domain kernel on the back end's run tables.
//
// Thin wrappers: parse, check every array and value, own the references and
// the plan, then call the kernels (compile, Stepper, energy) on typed
// pointers. A refused call changes nothing.
#include "compile.hpp"
#include "hold.hpp"
#include "run.hpp"
#include "view.hpp"

#include "cellcoef/formulas.hpp"
#include "cellcoef/store_api.hpp"
#include "surfloss/skin_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <complex>
#include <cstdint>
#include <memory>
#include <thread>

namespace {

using namespace yeestep;

constexpr const char* PLAN_NAME = "yeestep.plan";
constexpr int MAX_AXIS = 1 << 24;
constexpr int MAX_GROUP_WIDTH = 64;
// dispatch's limit: three rows per term in its row buffers
constexpr int MAX_TERMS = cellcoef::MAX_ROWS / 3;
constexpr int MAX_THREADS = 1024;
constexpr long long MAX_STEPS = 0x7fffffff;

const cellcoef::StoreApi* store_api = nullptr;
const surfloss::SkinApi* skin_api = nullptr;

void destroy_plan(PyObject* capsule)
{
    delete static_cast<Plan*>(PyCapsule_GetPointer(capsule, PLAN_NAME));
}

// The plan behind a capsule made by prepare; null after raising.
Plan* plan_of(PyObject* o)
{
    if (!PyCapsule_IsValid(o, PLAN_NAME)) return frame::fail_arg("Invalid plan", "plan"), nullptr;
    auto* plan = static_cast<Plan*>(PyCapsule_GetPointer(o, PLAN_NAME));
    if (plan->busy.load()) return frame::fail_arg("Plan in use", "plan"), nullptr;
    return plan;
}

// Marks a plan busy while a call runs without the interpreter lock.
class Busy {
public:
    explicit Busy(Plan& plan) : plan_(plan) { plan_.busy.store(true); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy() { plan_.busy.store(false); }

private:
    Plan& plan_;
};

// The loops a new plan uses: those YEESTEP_ISA names among the sets this
// machine runs, the widest when it is unset; null for any other name.
const Sweeps* chosen_sweeps()
{
    const char* name = std::getenv("YEESTEP_ISA");
    int count = 0;
    const Sweeps* const* sets = machine_sweeps(count);
    if (name == nullptr || *name == '\0') return sets[count - 1];
    return sweeps_named(name);
}

// The names of the sets this machine runs, baseline first.
PyObject* isa_names()
{
    int count = 0;
    const Sweeps* const* sets = machine_sweeps(count);
    frame::Ref names(PyTuple_New(count));
    if (!names) return nullptr;
    for (int n = 0; n < count; ++n) {
        PyObject* name = PyUnicode_FromString(sets[n]->name);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), n, name);
    }
    return names.release();
}

int default_threads()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

// --- array views, one per kind of argument -----------------------------------

// A block the kernels read as elements of T back to back: exactly N
// dimensions reaching `extent`, C-contiguous, aligned for T, writeable for
// Access::write. The extents are checked first, through a byte-wise view that
// asks nothing of the alignment, so the checks run in the frame's order: rank,
// element size, extents, contiguity, alignment, access.
template <int N, class T>
bool view_block(frame::Contiguous<T>& out, PyObject* o, const char* name,
                const frame::Extents<N>& extent, frame::Access access = frame::Access::read)
{
    frame::Unaligned<const T, N> extents;
    if (!frame::view(extents, o, name, extent, frame::Access::read, frame::exact_rank)) return false;
    npy_intp count = 1;
    for (const frame::Extent& e : extent.value) count *= e.value();
    return frame::view(out, o, name, count, access);
}

// The axes of an array that `dims` names (ANY_LENGTH: any) are exactly that
// long; called after the view, which tested the rank.
constexpr npy_intp ANY_LENGTH = -1;
bool exact_shape(PyObject* o, const char* name, std::initializer_list<npy_intp> dims)
{
    int axis = 0;
    for (npy_intp n : dims) {
        if (n != ANY_LENGTH && PyArray_DIM(frame::array(o), axis) != n)
            return frame::fail_arg("Wrong shape", name), false;
        ++axis;
    }
    return true;
}

// Byte range of a C-contiguous array.
bool overlap(PyArrayObject* a, PyArrayObject* b)
{
    const auto* pa = static_cast<const char*>(PyArray_DATA(a));
    const auto* pb = static_cast<const char*>(PyArray_DATA(b));
    const npy_intp na = PyArray_NBYTES(a);
    const npy_intp nb = PyArray_NBYTES(b);
    return na > 0 && nb > 0 && pa < pb + nb && pb < pa + na;
}

// The row count of a table whose rows the array gives (0 when it is not
// two-dimensional, which its view then refuses).
npy_intp rows_of(PyObject* o)
{
    PyArrayObject* a = frame::array(o);
    return PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 0) : 0;
}

// A run table: int32 [n][5].
bool view_records(PyObject* o, const char* name, Table& t)
{
    const npy_intp n = rows_of(o);
    // A record is five int32: the elements are int32, read as records.
    frame::Contiguous<const std::int32_t> ints;
    if (!view_block<2>(ints, o, name, {n, cellcoef::RUN_RECORD_INTS}) ||
        !exact_shape(o, name, {ANY_LENGTH, cellcoef::RUN_RECORD_INTS}))
        return false;
    t.records = reinterpret_cast<const RunRecord*>(ints.data);
    t.count = n;
    return true;
}

// A line index: int64 [nz][ny][2].
bool view_lines(PyObject* o, const char* name, int nz, int ny, Table& t)
{
    frame::Contiguous<const std::int64_t> lines;
    if (!view_block<3>(lines, o, name, {nz, ny, 2}) || !exact_shape(o, name, {nz, ny, 2}))
        return false;
    t.lines = lines.data;
    return true;
}

// Cells int32 [n][4] of (component, k, j, i) inside the plan's grid, as
// points of the fields.
bool view_cells(PyObject* o, const char* name, const Plan& plan, std::vector<Point>& points)
{
    if (!frame::require_arrays({o})) return false;
    const npy_intp n = rows_of(o);
    frame::Contiguous<const std::int32_t> c;
    if (!view_block<2>(c, o, name, {n, 4}) || (n > 0 && !exact_shape(o, name, {ANY_LENGTH, 4})))
        return false;
    const Layout& g = plan.grid;
    points.resize(static_cast<std::size_t>(n));
    for (npy_intp p = 0; p < n; ++p) {
        const std::int32_t* cell = &c[4 * p];
        if (cell[0] < 0 || cell[0] >= COMPONENTS || cell[1] < 0 || cell[1] >= g.nz || cell[2] < 0 ||
            cell[2] >= g.ny || cell[3] < 0 || cell[3] >= g.nx)
            return frame::fail_arg("Cell outside the grid", name), false;
        points[static_cast<std::size_t>(p)] = {cell[0] * g.volume + g.cell(cell[3], cell[2], cell[1]),
                                               cell[0], cell[3], cell[2], cell[1]};
    }
    return true;
}

// A float64 [count][n] array: one value per step and point.
template <class T>
bool view_per_step(frame::Contiguous<T>& out, PyObject* o, const char* name, npy_intp count,
                   npy_intp n, frame::Access access)
{
    if (!frame::require_arrays({o})) return false;
    return view_block<2>(out, o, name, {count, n}, access) &&
           (n == 0 || count == 0 || exact_shape(o, name, {ANY_LENGTH, n}));
}

// The fields of a plan: float32 [6][nz + 2][ny + 2][row] exactly.
bool view_fields(frame::Contiguous<float>& out, PyObject* o, const Layout& g, frame::Access access)
{
    if (!frame::require_arrays({o})) return false;
    return view_block<4>(out, o, "fields", {COMPONENTS, g.nz + 2, g.ny + 2, g.row}, access) &&
           exact_shape(o, "fields", {COMPONENTS, g.nz + 2, g.ny + 2, g.row});
}

// None, or a tuple of exactly `n` items.
bool optional_tuple(PyObject* o, const char* name, Py_ssize_t n, bool& given)
{
    given = o != Py_None;
    if (given && (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != n))
        return frame::fail_arg("Wrong argument", name), false;
    return true;
}

// --- methods ------------------------------------------------------------------

PyObject* prepare(PyObject* args)
{
    PyObject *records0, *lines0, *records1, *lines1, *spacings_obj, *skin_obj;
    int group_width, nterms, ntail, lossy3, boundary;
    if (!frame::parse(args, "OOOOOiiiiOi", &records0, &lines0, &records1, &lines1, &spacings_obj,
                      &group_width, &nterms, &ntail, &lossy3, &skin_obj, &boundary))
        return nullptr;
    if (!frame::require_arrays({records0, lines0, records1, lines1})) return nullptr;

    CompileInput in{};
    if (!view_records(records0, "records0", in.tables[0]) ||
        !view_records(records1, "records1", in.tables[1]))
        return nullptr;
    // The grid's z and y sizes come from the first line index.
    const npy_intp* zy = frame::extents_of(lines0, "lines0", 3, frame::exact_rank);
    if (zy == nullptr) return nullptr;
    if (zy[0] < 1 || zy[1] < 1 || zy[0] > MAX_AXIS || zy[1] > MAX_AXIS)
        return frame::fail_arg("Wrong shape", "lines0");
    in.nz = static_cast<int>(zy[0]);
    in.ny = static_cast<int>(zy[1]);
    if (!view_lines(lines0, "lines0", in.nz, in.ny, in.tables[0]) ||
        !view_lines(lines1, "lines1", in.nz, in.ny, in.tables[1]))
        return nullptr;

    // dx, ddx, dy, ddy, dz, ddz
    if (!PySequence_Check(spacings_obj) || PySequence_Size(spacings_obj) != 6) {
        PyErr_Clear();
        return frame::fail_arg("Sequence of 6 arrays expected", "spacings");
    }
    frame::Ref spacing_items[6];
    static constexpr const char* SPACING_NAMES[6] = {"spacings[0]", "spacings[1]", "spacings[2]",
                                                     "spacings[3]", "spacings[4]", "spacings[5]"};
    for (int n = 0; n < 6; ++n) {
        spacing_items[n].reset(PySequence_GetItem(spacings_obj, n));
        if (!spacing_items[n]) {
            PyErr_Clear();
            return frame::fail_arg("Missing item", SPACING_NAMES[n]);
        }
        if (!frame::require_arrays({spacing_items[n].get()})) return nullptr;
    }
    PyArrayObject* dx = frame::array(spacing_items[0].get());
    if (PyArray_NDIM(dx) != 1 || PyArray_DIM(dx, 0) < 1 || PyArray_DIM(dx, 0) > MAX_AXIS)
        return frame::fail_arg("Wrong shape", "spacings[0]");
    in.nx = static_cast<int>(PyArray_DIM(dx, 0));
    const int lengths[3] = {in.nx, in.ny, in.nz};
    for (int n = 0; n < 6; ++n) {
        PyObject* a = spacing_items[n].get();
        frame::Contiguous<const double> spacing;
        if (!view_block<1>(spacing, a, SPACING_NAMES[n], {lengths[n / 2]}) ||
            !exact_shape(a, SPACING_NAMES[n], {lengths[n / 2]}))
            return nullptr;
        in.spacings[n] = spacing.data;
    }

    if (group_width < 1 || group_width > MAX_GROUP_WIDTH || in.nx % group_width != 0)
        return frame::fail_arg("Value out of range", "group_width");
    if (nterms < 2 || nterms > MAX_TERMS) return frame::fail_arg("Value out of range", "nterms");
    if (ntail < 0 || ntail > nterms - 2) return frame::fail_arg("Value out of range", "ntail");
    if (boundary < 0 || boundary > (LOW_PEC_X | LOW_PEC_Y | LOW_PEC_Z))
        return frame::fail_arg("Value out of range", "boundary");
    in.group_width = group_width;
    in.nterms = nterms;
    in.ntail = ntail;
    in.lossy3 = lossy3 != 0;
    in.boundary = boundary;
    in.store_contains = store_api->contains;
    in.sweeps = chosen_sweeps();
    if (in.sweeps == nullptr) return frame::fail_arg("Invalid value", "YEESTEP_ISA");

    surfloss::SkinView skin{};
    bool has_skin = false;
    // (handle, count[, z0]): the records of a scan over planes z0 on
    has_skin = skin_obj != Py_None;
    if (has_skin && (!PyTuple_Check(skin_obj) || PyTuple_GET_SIZE(skin_obj) < 2 ||
                     PyTuple_GET_SIZE(skin_obj) > 3))
        return frame::fail_arg("Wrong argument", "skin");
    if (has_skin) {
        Py_ssize_t handle = 0, count = 0, z0 = 0;
        if (!PyArg_ParseTuple(skin_obj, "nn|n", &handle, &count, &z0)) {
            PyErr_Clear();
            return frame::fail_arg("Wrong argument", "skin");
        }
        if (count < 0 || !skin_api->lookup(static_cast<std::uintptr_t>(handle),
                                           static_cast<std::size_t>(count), &skin))
            return frame::fail_arg("Invalid handle", "skin");
        if (z0 < 0 || z0 > in.nz) return frame::fail_arg("Skin records of another grid", "skin");
        in.skin = &skin;
        in.skin_count = static_cast<std::size_t>(count);
        in.skin_z0 = static_cast<int>(z0);
    }

    Refusal refusal;
    std::unique_ptr<Plan> plan = compile(in, refusal);
    if (!plan) return frame::fail_arg(refusal.what, refusal.name);
    PyObject* capsule = PyCapsule_New(plan.get(), PLAN_NAME, destroy_plan);
    if (capsule != nullptr) plan.release();
    return capsule;
}

PyObject* step(PyObject* args)
{
    PyObject *plan_obj, *fields_obj, *sources, *probes, *dft, *stop;
    long long first = 0, count = 0;
    int halves = HALVES_BOTH, threads = 0;
    if (!frame::parse(args, "OOLLOOOO|ii", &plan_obj, &fields_obj, &first, &count, &sources, &probes,
                      &dft, &stop, &halves, &threads))
        return nullptr;
    Plan* plan = plan_of(plan_obj);
    if (plan == nullptr) return nullptr;
    const Layout& g = plan->grid;
    frame::Contiguous<float> fields;
    if (!view_fields(fields, fields_obj, g, frame::Access::write)) return nullptr;
    if (first < 0 || first > MAX_STEPS) return frame::fail_arg("Value out of range", "first");
    if (count < 0 || count > MAX_STEPS) return frame::fail_arg("Value out of range", "count");
    if (halves < 1 || halves > HALVES_BOTH || (halves != HALVES_BOTH && count > 1))
        return frame::fail_arg("Value out of range", "halves");
    if (threads < 0 || threads > MAX_THREADS) return frame::fail_arg("Value out of range", "threads");

    StepIo io;
    io.first = first;
    io.count = count;
    io.halves = halves;
    // Arrays the call writes, and those it reads, to test for overlaps.
    std::vector<std::pair<PyArrayObject*, const char*>> written{{frame::array(fields_obj), "fields"}},
        read;

    bool given = false;
    if (!optional_tuple(sources, "sources", 2, given)) return nullptr;
    if (given) {
        PyObject* cells = PyTuple_GET_ITEM(sources, 0);
        PyObject* wave = PyTuple_GET_ITEM(sources, 1);
        if (!view_cells(cells, "sources", *plan, io.sources)) return nullptr;
        frame::Contiguous<const double> w;
        if (!view_per_step(w, wave, "wave", count, static_cast<npy_intp>(io.sources.size()),
                           frame::Access::read))
            return nullptr;
        io.wave = w.data;
        for (const Point& p : io.sources)
            io.source_k.push_back(edge_coefficients(*plan, p.comp, p.i, p.j, p.k).K);
        read.push_back({frame::array(cells), "sources"});
        read.push_back({frame::array(wave), "wave"});
    }
    if (!optional_tuple(probes, "probes", 2, given)) return nullptr;
    if (given) {
        PyObject* cells = PyTuple_GET_ITEM(probes, 0);
        PyObject* out = PyTuple_GET_ITEM(probes, 1);
        if (!view_cells(cells, "probes", *plan, io.probes)) return nullptr;
        frame::Contiguous<double> o;
        if (!view_per_step(o, out, "probe_out", count, static_cast<npy_intp>(io.probes.size()),
                           frame::Access::write))
            return nullptr;
        io.probe_out = o.data;
        read.push_back({frame::array(cells), "probes"});
        written.push_back({frame::array(out), "probe_out"});
    }
    if (!optional_tuple(dft, "dft", 3, given)) return nullptr;
    if (given) {
        PyObject* cells = PyTuple_GET_ITEM(dft, 0);
        PyObject* omega = PyTuple_GET_ITEM(dft, 1);
        PyObject* out = PyTuple_GET_ITEM(dft, 2);
        if (!view_cells(cells, "dft", *plan, io.dft)) return nullptr;
        if (!frame::require_arrays({omega, out})) return nullptr;
        const npy_intp nf = PyArray_NDIM(frame::array(omega)) == 1 ? PyArray_DIM(frame::array(omega), 0) : 0;
        const auto nd = static_cast<npy_intp>(io.dft.size());
        frame::Contiguous<const double> w;
        frame::Contiguous<std::complex<double>> o;
        if (!view_block<1>(w, omega, "omega_dt", {nf}) ||
            !view_block<2>(o, out, "dft_out", {nf, nd}, frame::Access::write) ||
            (nf > 0 && nd > 0 && !exact_shape(out, "dft_out", {nf, nd})))
            return nullptr;
        io.omega_dt = w.data;
        io.nfreq = nf;
        io.dft_out = o.data;
        read.push_back({frame::array(cells), "dft"});
        read.push_back({frame::array(omega), "omega_dt"});
        written.push_back({frame::array(out), "dft_out"});
    }
    if (!optional_tuple(stop, "stop", 2, given)) return nullptr;
    if (given) {
        long long every = 0;
        double level_db = 0.0;
        if (!PyArg_ParseTuple(stop, "Ld", &every, &level_db)) {
            PyErr_Clear();
            return frame::fail_arg("Wrong argument", "stop");
        }
        if (every < 1 || !std::isfinite(level_db)) return frame::fail_arg("Value out of range", "stop");
        io.every = every;
        io.level = std::pow(10.0, level_db / 10.0);
    }
    for (std::size_t w = 0; w < written.size(); ++w) {
        for (std::size_t v = w + 1; v < written.size(); ++v)
            if (overlap(written[w].first, written[v].first))
                return frame::fail_arg("Arrays overlap", written[v].second);
        for (const auto& r : read)
            if (overlap(written[w].first, r.first)) return frame::fail_arg("Arrays overlap", written[w].second);
    }

    Stepper stepper(*plan, fields.data, io,
                    threads == 0 ? default_threads() : threads);
    std::int64_t done = 0;
    {
        const Busy busy(*plan);
        Py_BEGIN_ALLOW_THREADS
        done = stepper.run();
        Py_END_ALLOW_THREADS
    }
    return PyLong_FromLongLong(done);
}

PyObject* energy_method(PyObject* args)
{
    PyObject *plan_obj, *fields_obj;
    int threads = 0;
    if (!frame::parse(args, "OO|i", &plan_obj, &fields_obj, &threads)) return nullptr;
    Plan* plan = plan_of(plan_obj);
    if (plan == nullptr) return nullptr;
    frame::Contiguous<float> fields;
    if (!view_fields(fields, fields_obj, plan->grid, frame::Access::read)) return nullptr;
    if (threads < 0 || threads > MAX_THREADS) return frame::fail_arg("Value out of range", "threads");
    double w = 0.0;
    {
        const Busy busy(*plan);
        const int n = threads == 0 ? default_threads() : threads;
        Py_BEGIN_ALLOW_THREADS
        w = energy(*plan, fields.data, n);
        Py_END_ALLOW_THREADS
    }
    return PyFloat_FromDouble(w);
}

PyObject* reset(PyObject* args)
{
    PyObject* plan_obj;
    if (!frame::parse(args, "O", &plan_obj)) return nullptr;
    Plan* plan = plan_of(plan_obj);
    if (plan == nullptr) return nullptr;
    std::fill(plan->state.begin(), plan->state.end(), 0.0f);
    plan->peak_energy = 0.0;
    return frame::none();
}

PyObject* coefficients(PyObject* args)
{
    PyObject *plan_obj, *cells;
    if (!frame::parse(args, "OO", &plan_obj, &cells)) return nullptr;
    Plan* plan = plan_of(plan_obj);
    if (plan == nullptr) return nullptr;
    std::vector<Point> points;
    if (!view_cells(cells, "cells", *plan, points)) return nullptr;
    const npy_intp dims[2] = {static_cast<npy_intp>(points.size()), 3};
    frame::Ref out(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    if (!out) return nullptr;
    auto* o = static_cast<double*>(PyArray_DATA(frame::array(out.get())));
    for (std::size_t p = 0; p < points.size(); ++p) {
        const Point& q = points[p];
        const EdgeCoefficients e = edge_coefficients(*plan, q.comp, q.i, q.j, q.k);
        o[3 * p] = e.A;
        o[3 * p + 1] = e.K;
        o[3 * p + 2] = e.G;
    }
    return out.release();
}

PyObject* layout(PyObject* args)
{
    PyObject* plan_obj;
    if (!frame::parse(args, "O", &plan_obj)) return nullptr;
    Plan* plan = plan_of(plan_obj);
    if (plan == nullptr) return nullptr;
    const Layout& g = plan->grid;
    return Py_BuildValue("((iiiL)in)", COMPONENTS, g.nz + 2, g.ny + 2, static_cast<long long>(g.row),
                         X_OFFSET, static_cast<Py_ssize_t>(plan->bytes()));
}

PyDoc_STRVAR(module_doc,
"The time-domain kernel: steps the six field components of a grid from the\n"
"run records of both dispatch passes, the store vectors they address and the\n"
"skin records of a surfloss handle.\n"
"\n"
"prepare checks the records and compiles them into a plan; step advances the\n"
"fields [6][nz + 2][ny + 2][row] (float32; layout gives the shape) with\n"
"sources, probes, an on-the-fly DFT and an energy stop rule, on threads over\n"
"z-slabs and without the interpreter lock. Constants: X_OFFSET and ROW_ALIGN\n"
"of the field layout, the boundary bits LOW_PEC_X, LOW_PEC_Y, LOW_PEC_Z and\n"
"the half-step selectors HALVES_H, HALVES_E, HALVES_BOTH; ISAS, the names of\n"
"the instruction sets whose loops this machine runs, baseline first. A plan\n"
"uses the widest, or the one the environment variable YEESTEP_ISA names when\n"
"prepare is called; every set gives the same fields bit for bit. Refusals\n"
"raise the module's error (Exception, or the StandardError bound in __main__\n"
"at import) before anything is written.");

PyDoc_STRVAR(prepare_doc,
"prepare(records0, lines0, records1, lines1, spacings, group_width, nterms, ntail,\n"
"        lossy3, skin, boundary, /)\n"
"--\n"
"\n"
"Compiles the run tables of a grid into a plan.\n"
"\n"
"records0/1: int32 [n][5] run records of pass 0 and 1; lines0/1: int64\n"
"[nz][ny][2], first record and count of each line. spacings: six float64\n"
"arrays dx, ddx, dy, ddy, dz, ddz (metres): cell sizes and dual spacings.\n"
"nterms and ntail as given to dispatch; skin: (handle, count) of surfloss or\n"
"None; boundary: bits LOW_PEC_X, LOW_PEC_Y, LOW_PEC_Z make the low faces\n"
"perfect conductors. Every record is checked against the store before a\n"
"float of it is read. Returns the plan, a capsule that frees it.");

PyDoc_STRVAR(step_doc,
"step(plan, fields, first, count, sources, probes, dft, stop, halves=3, threads=0, /)\n"
"--\n"
"\n"
"Advances `fields` by up to `count` steps, the first being absolute step\n"
"`first`; returns the steps made.\n"
"\n"
"sources: (cells, wave) or None, int32 [ns][4] rows (component, k, j, i) and\n"
"float64 [count][ns], F -= K wave after the update; probes: (cells, out),\n"
"out float64 [count][np] gets each value after each step; dft: (cells,\n"
"omega_dt, out), out complex128 [nf][nd] accumulates F exp(-i omega t);\n"
"stop: (every, level_db), the call ends once the energy, measured every\n"
"`every` absolute steps, is level_db below its peak. halves HALVES_H or\n"
"HALVES_E runs one half of one step; threads 0 takes every core. The\n"
"interpreter lock is released while the steps run.");

PyDoc_STRVAR(energy_doc,
"energy(plan, fields, threads=0, /)\n"
"--\n"
"\n"
"Returns the field energy divided by the time step (J/s): half the sum of\n"
"(V / K) F^2 over the updated edges outside the split-loss cells, summed in\n"
"a fixed order, so the same for any thread count.");

PyDoc_STRVAR(reset_doc,
"reset(plan, /)\n"
"--\n"
"\n"
"Sets the plan's split-loss state to zero and forgets the stop rule's peak\n"
"energy. Returns None.");

PyDoc_STRVAR(coefficients_doc,
"coefficients(plan, cells, /)\n"
"--\n"
"\n"
"Returns float64 [n][3]: (A, K, G) of each edge of int32 [n][4] cells\n"
"(component, k, j, i), the update F' = A F + K (curl - J) with the grid's\n"
"spacings in the curl, and the tail conductance G (S/m) of a lumped edge.");

PyDoc_STRVAR(layout_doc,
"layout(plan, /)\n"
"--\n"
"\n"
"Returns ((6, nz + 2, ny + 2, row), x_offset, plan_bytes): the shape of the\n"
"plan's float32 fields, the index along a row of cell 0, and the bytes the\n"
"plan holds.");

PyMethodDef moduleMethods[] = {
    {"prepare", frame::method<prepare>, METH_VARARGS, prepare_doc},
    {"step", frame::method<step>, METH_VARARGS, step_doc},
    {"energy", frame::method<energy_method>, METH_VARARGS, energy_doc},
    {"reset", frame::method<reset>, METH_VARARGS, reset_doc},
    {"coefficients", frame::method<coefficients>, METH_VARARGS, coefficients_doc},
    {"layout", frame::method<layout>, METH_VARARGS, layout_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "yeestep", module_doc, -1, moduleMethods,
                          nullptr, nullptr, nullptr, nullptr};

template <class Api>
const Api* import_api(const char* name, std::uint32_t version)
{
    const auto* api = static_cast<const Api*>(PyCapsule_Import(name, 0));
    if (api != nullptr && api->version != version) {
        PyErr_Format(PyExc_ImportError, "%s: version %u, expected %u", name, api->version, version);
        return nullptr;
    }
    return api;
}

}  // namespace

PyMODINIT_FUNC PyInit_yeestep()
{
    PyObject* module = frame::create(
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false},
        {
            {"X_OFFSET", X_OFFSET},
            {"ROW_ALIGN", ROW_ALIGN},
            {"LOW_PEC_X", LOW_PEC_X},
            {"LOW_PEC_Y", LOW_PEC_Y},
            {"LOW_PEC_Z", LOW_PEC_Z},
            {"HALVES_H", HALVES_H},
            {"HALVES_E", HALVES_E},
            {"HALVES_BOTH", HALVES_BOTH},
        });
    if (module == nullptr) return nullptr;
    PyObject* isas = isa_names();
    if (isas == nullptr || PyModule_AddObject(module, "ISAS", isas) < 0) {
        Py_XDECREF(isas);
        Py_DECREF(module);
        return nullptr;
    }
    store_api = import_api<cellcoef::StoreApi>(cellcoef::STORE_API_NAME, cellcoef::STORE_API_VERSION);
    skin_api = import_api<surfloss::SkinApi>(surfloss::SKIN_API_NAME, surfloss::SKIN_API_VERSION);
    if (store_api == nullptr || skin_api == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
