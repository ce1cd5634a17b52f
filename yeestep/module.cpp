// yeestep: the time-domain kernel on the back end's run tables.
//
// Thin wrappers: parse, check every array and value, own the references and
// the plan, then call the kernels (compile, Stepper, energy) on typed
// pointers. A refused call changes nothing.
#include "checks.hpp"
#include "compile.hpp"
#include "hold.hpp"
#include "run.hpp"

#include "cellcoef/store_api.hpp"
#include "surfloss/skin_api.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>

namespace {

using namespace yeestep;

constexpr const char* PLAN_NAME = "yeestep.plan";
constexpr int MAX_AXIS = 1 << 24;
constexpr int MAX_GROUP_WIDTH = 64;
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

int default_threads()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

// --- array checks, one per kind of argument --------------------------------

// A C-contiguous, aligned array of `itemsize` elements and exactly `ndim`
// dimensions, reaching `extent`; writeable when `writes`.
bool check_block(PyArrayObject* a, const char* name, int itemsize, int ndim,
                 std::initializer_list<npy_intp> extent, bool writes = false)
{
    frame::Extent extents[4];
    int axes = 0;
    npy_intp count = 1;
    for (npy_intp e : extent) {
        extents[axes++] = e;
        count *= e;
    }
    if (!frame::check_shape(a, name, itemsize, ndim, extents, axes)) return false;
    if (!frame::check_flat(a, name, itemsize, count)) return false;
    // complex128 accumulators are read as pairs of doubles
    if (!frame::check_aligned(a, name, itemsize > 8 ? 8 : itemsize)) return false;
    return !writes || frame::check_writeable(a, name);
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

// A run table: int32 [n][5].
bool check_records(PyObject* o, const char* name, Table& t)
{
    PyArrayObject* a = frame::array(o);
    const npy_intp n = PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 0) : 0;
    if (!check_block(a, name, 4, 2, {n, 5})) return false;
    if (PyArray_DIM(a, 1) != 5) return frame::fail_arg("Wrong shape", name), false;
    t.records = static_cast<const RunRecord*>(PyArray_DATA(a));
    t.count = n;
    return true;
}

// A line index: int64 [nz][ny][2].
bool check_lines(PyObject* o, const char* name, int nz, int ny, Table& t)
{
    PyArrayObject* a = frame::array(o);
    if (!check_block(a, name, 8, 3, {nz, ny, 2})) return false;
    if (PyArray_DIM(a, 0) != nz || PyArray_DIM(a, 1) != ny || PyArray_DIM(a, 2) != 2)
        return frame::fail_arg("Wrong shape", name), false;
    t.lines = static_cast<const std::int64_t*>(PyArray_DATA(a));
    return true;
}

// Cells int32 [n][4] of (component, k, j, i) inside the plan's grid, as
// points of the fields.
bool check_cells(PyObject* o, const char* name, const Plan& plan, std::vector<Point>& points)
{
    if (!frame::require_arrays({o})) return false;
    PyArrayObject* a = frame::array(o);
    const npy_intp n = PyArray_NDIM(a) == 2 ? PyArray_DIM(a, 0) : 0;
    if (!check_block(a, name, 4, 2, {n, 4})) return false;
    if (n > 0 && PyArray_DIM(a, 1) != 4) return frame::fail_arg("Wrong shape", name), false;
    const auto* c = static_cast<const std::int32_t*>(PyArray_DATA(a));
    const Layout& g = plan.grid;
    points.resize(static_cast<std::size_t>(n));
    for (npy_intp p = 0; p < n; ++p, c += 4) {
        if (c[0] < 0 || c[0] >= COMPONENTS || c[1] < 0 || c[1] >= g.nz || c[2] < 0 ||
            c[2] >= g.ny || c[3] < 0 || c[3] >= g.nx)
            return frame::fail_arg("Cell outside the grid", name), false;
        points[static_cast<std::size_t>(p)] = {c[0] * g.volume + g.cell(c[3], c[2], c[1]), c[0], c[1]};
    }
    return true;
}

// A float64 [count][n] array: one value per step and point.
PyArrayObject* check_per_step(PyObject* o, const char* name, npy_intp count, npy_intp n, bool writes)
{
    if (!frame::require_arrays({o})) return nullptr;
    PyArrayObject* a = frame::array(o);
    if (!check_block(a, name, 8, 2, {count, n}, writes)) return nullptr;
    if (n > 0 && count > 0 && PyArray_DIM(a, 1) != n) return frame::fail_arg("Wrong shape", name), nullptr;
    return a;
}

// The fields of a plan: float32 [6][nz + 2][ny + 2][row] exactly.
PyArrayObject* check_fields(PyObject* o, const Layout& g, bool writes)
{
    if (!frame::require_arrays({o})) return nullptr;
    PyArrayObject* a = frame::array(o);
    if (!check_block(a, "fields", 4, 4, {COMPONENTS, g.nz + 2, g.ny + 2, g.row}, writes)) return nullptr;
    if (PyArray_DIM(a, 0) != COMPONENTS || PyArray_DIM(a, 1) != g.nz + 2 ||
        PyArray_DIM(a, 2) != g.ny + 2 || PyArray_DIM(a, 3) != g.row)
        return frame::fail_arg("Wrong shape", "fields"), nullptr;
    return a;
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
    if (!check_records(records0, "records0", in.tables[0]) ||
        !check_records(records1, "records1", in.tables[1]))
        return nullptr;
    PyArrayObject* l0 = frame::array(lines0);
    if (PyArray_NDIM(l0) != 3) return frame::fail_arg("Wrong number of dimensions", "lines0");
    if (PyArray_DIM(l0, 0) < 1 || PyArray_DIM(l0, 1) < 1 || PyArray_DIM(l0, 0) > MAX_AXIS ||
        PyArray_DIM(l0, 1) > MAX_AXIS)
        return frame::fail_arg("Wrong shape", "lines0");
    in.nz = static_cast<int>(PyArray_DIM(l0, 0));
    in.ny = static_cast<int>(PyArray_DIM(l0, 1));
    if (!check_lines(lines0, "lines0", in.nz, in.ny, in.tables[0]) ||
        !check_lines(lines1, "lines1", in.nz, in.ny, in.tables[1]))
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
        PyArrayObject* a = frame::array(spacing_items[n].get());
        if (!check_block(a, SPACING_NAMES[n], 8, 1, {lengths[n / 2]})) return nullptr;
        if (PyArray_DIM(a, 0) != lengths[n / 2]) return frame::fail_arg("Wrong shape", SPACING_NAMES[n]);
        in.spacings[n] = static_cast<const double*>(PyArray_DATA(a));
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
    PyArrayObject* fields = check_fields(fields_obj, g, true);
    if (fields == nullptr) return nullptr;
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
    std::vector<std::pair<PyArrayObject*, const char*>> written{{fields, "fields"}}, read;

    bool given = false;
    if (!optional_tuple(sources, "sources", 2, given)) return nullptr;
    if (given) {
        PyObject* cells = PyTuple_GET_ITEM(sources, 0);
        PyObject* wave = PyTuple_GET_ITEM(sources, 1);
        if (!check_cells(cells, "sources", *plan, io.sources)) return nullptr;
        const auto ns = static_cast<npy_intp>(io.sources.size());
        PyArrayObject* w = check_per_step(wave, "wave", count, ns, false);
        if (w == nullptr) return nullptr;
        io.wave = static_cast<const double*>(PyArray_DATA(w));
        const auto* c = static_cast<const std::int32_t*>(PyArray_DATA(frame::array(cells)));
        for (npy_intp p = 0; p < ns; ++p, c += 4)
            io.source_k.push_back(edge_coefficients(*plan, c[0], c[3], c[2], c[1]).K);
        read.push_back({frame::array(cells), "sources"});
        read.push_back({w, "wave"});
    }
    if (!optional_tuple(probes, "probes", 2, given)) return nullptr;
    if (given) {
        PyObject* cells = PyTuple_GET_ITEM(probes, 0);
        PyObject* out = PyTuple_GET_ITEM(probes, 1);
        if (!check_cells(cells, "probes", *plan, io.probes)) return nullptr;
        PyArrayObject* o = check_per_step(out, "probe_out", count,
                                          static_cast<npy_intp>(io.probes.size()), true);
        if (o == nullptr) return nullptr;
        io.probe_out = static_cast<double*>(PyArray_DATA(o));
        read.push_back({frame::array(cells), "probes"});
        written.push_back({o, "probe_out"});
    }
    if (!optional_tuple(dft, "dft", 3, given)) return nullptr;
    if (given) {
        PyObject* cells = PyTuple_GET_ITEM(dft, 0);
        PyObject* omega = PyTuple_GET_ITEM(dft, 1);
        PyObject* out = PyTuple_GET_ITEM(dft, 2);
        if (!check_cells(cells, "dft", *plan, io.dft)) return nullptr;
        if (!frame::require_arrays({omega, out})) return nullptr;
        PyArrayObject* w = frame::array(omega);
        const npy_intp nf = PyArray_NDIM(w) == 1 ? PyArray_DIM(w, 0) : 0;
        if (!check_block(w, "omega_dt", 8, 1, {nf})) return nullptr;
        const auto nd = static_cast<npy_intp>(io.dft.size());
        PyArrayObject* o = frame::array(out);
        if (!check_block(o, "dft_out", 16, 2, {nf, nd}, true)) return nullptr;
        if (nf > 0 && nd > 0 && (PyArray_DIM(o, 0) != nf || PyArray_DIM(o, 1) != nd))
            return frame::fail_arg("Wrong shape", "dft_out");
        io.omega_dt = static_cast<const double*>(PyArray_DATA(w));
        io.nfreq = nf;
        io.dft_out = static_cast<double*>(PyArray_DATA(o));
        read.push_back({frame::array(cells), "dft"});
        read.push_back({w, "omega_dt"});
        written.push_back({o, "dft_out"});
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

    Stepper stepper(*plan, static_cast<float*>(PyArray_DATA(fields)), io,
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
    PyArrayObject* fields = check_fields(fields_obj, plan->grid, false);
    if (fields == nullptr) return nullptr;
    if (threads < 0 || threads > MAX_THREADS) return frame::fail_arg("Value out of range", "threads");
    double w = 0.0;
    {
        const Busy busy(*plan);
        const auto* f = static_cast<const float*>(PyArray_DATA(fields));
        const int n = threads == 0 ? default_threads() : threads;
        Py_BEGIN_ALLOW_THREADS
        w = energy(*plan, f, n);
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
    if (!check_cells(cells, "cells", *plan, points)) return nullptr;
    const npy_intp dims[2] = {static_cast<npy_intp>(points.size()), 3};
    frame::Ref out(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    if (!out) return nullptr;
    auto* o = static_cast<double*>(PyArray_DATA(frame::array(out.get())));
    const auto* c = static_cast<const std::int32_t*>(PyArray_DATA(frame::array(cells)));
    for (std::size_t p = 0; p < points.size(); ++p) {
        const EdgeCoefficients e = edge_coefficients(*plan, c[4 * p], c[4 * p + 3], c[4 * p + 2], c[4 * p + 1]);
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

PyMethodDef moduleMethods[] = {
    {"prepare", frame::method<prepare>, METH_VARARGS, nullptr},
    {"step", frame::method<step>, METH_VARARGS, nullptr},
    {"energy", frame::method<energy_method>, METH_VARARGS, nullptr},
    {"reset", frame::method<reset>, METH_VARARGS, nullptr},
    {"coefficients", frame::method<coefficients>, METH_VARARGS, nullptr},
    {"layout", frame::method<layout>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "yeestep", nullptr, -1, moduleMethods,
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
        &module_def, {frame::Variant::lookup, "Error parsing args", "Array expected", false});
    if (module == nullptr) return nullptr;
    store_api = import_api<cellcoef::StoreApi>(cellcoef::STORE_API_NAME, cellcoef::STORE_API_VERSION);
    skin_api = import_api<surfloss::SkinApi>(surfloss::SKIN_API_NAME, surfloss::SKIN_API_VERSION);
    if (store_api == nullptr || skin_api == nullptr) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
