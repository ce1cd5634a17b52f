#include "rle.hpp"
#include "settings.hpp"
#include "shared.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace cellcoef {
namespace {

// The counters are int32 fields of the shared layout; they stop at the top
// instead of wrapping.
void count_up(std::int32_t& counter, std::int64_t amount)
{
    const std::int64_t sum = counter + amount;
    counter = sum > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(sum);
}

// A stored list equals the records just written. Compared record by record so
// that a shorter stored list is never read past its terminator: its
// terminator (start L) differs from every other record of a line of length L.
bool same_records(const RleRun* stored, const RleRun* written, int nrec)
{
    for (int k = 0; k < nrec; ++k)
        if (std::memcmp(stored + k, written + k, sizeof(RleRun)) != 0) return false;
    return true;
}

// The compressor over a line given as `count` values, value k covering the
// elements from start(k) on. The expanded line is the case start(k) = k.
template <class Start>
const frame::Check* compress(RleArray* a, RleEntry* entry, RleRun* runbuf, float* value,
                             Start start, int count, RleTables& tables, bool tolerant)
{
    float max = 1e-30f;
    for (int k = 0; k < count; ++k) {
        if (std::fabs(static_cast<double>(value[k])) < 1e-37) value[k] = 0.0f;
        if (std::fabs(value[k]) > max) max = std::fabs(value[k]);
    }

    // A value no line starts with, so that the first element opens a run.
    const float pi = 3.1415927f;
    float prev = value[0] == pi ? pi - 1.0f : pi;

    float* const table_a = tables.float_table_a.get();
    float* const table_b = tables.float_table_b.get();
    float h = 0.0f;
    RleRun* rec = runbuf;
    for (int k = 0; k < count; ++k) {
        const float cur = value[k];
        if (cur == prev) continue;
        prev = cur;
        float v = cur / max;
        const double bucket = (static_cast<double>(v) + 1.0) * 0.5;
        const double fa = bucket * 999998.0;
        const double fb = bucket * 999997.0 + 0.5;
        // Range tests before the truncation, which would be undefined for
        // the NaN that a non-finite value leaves here.
        if (!(fa > -1.0 && fa < RLE_NHFLT)) {
            std::fprintf(stderr, "cur %.15e max %.15e\n", static_cast<double>(cur),
                         static_cast<double>(max));
            return &CHECK_FLOAT_HASH_A;
        }
        if (!(fb > -1.0 && fb < RLE_NHFLT)) return &CHECK_FLOAT_HASH_B;
        const int fhsha = static_cast<int>(fa);
        const int fhshb = static_cast<int>(fb);
        // 1 is the line's own maximum and 0 marks empty cells: never snapped.
        if (v != 1.0f && v != 0.0f) {
            if (tolerant && rel_close(v, table_a[fhsha])) {
                v = table_a[fhsha];
            } else if (tolerant && rel_close(v, table_b[fhshb])) {
                v = table_b[fhshb];
            } else {
                table_b[fhshb] = v;
                table_a[fhsha] = v;
            }
        }
        h = line_hash_step(h, v);
        *rec++ = RleRun{v, start(k)};
    }
    *rec++ = RleRun{0.0f, rle_line_length(a)};
    const int nrec = static_cast<int>(rec - runbuf);

    const double scaled = std::floor(std::fabs(static_cast<double>(h)) * 65536.0);
    if (!(scaled > -1.0 && scaled < 2147483648.0)) return &CHECK_LINE_HASH;
    const int hsh = static_cast<int>(scaled) % RLE_NHASH;
    if (hsh > RLE_NHASH - 1 || hsh < 0) return &CHECK_LINE_HASH;

    RleRun*& slot = tables.line_table.get()[hsh];
    entry->max = max;
    entry->nrec = static_cast<std::int16_t>(nrec);
    if (slot != nullptr && same_records(slot, runbuf, nrec)) {
        entry->fresh = 0;
        entry->run_list = slot;
        count_up(a->shared_lines, 1);
        return nullptr;
    }
    // Run lists belong to the arrays and are never released.
    auto* list = static_cast<RleRun*>(std::malloc(nrec * sizeof(RleRun)));
    if (list == nullptr) throw std::bad_alloc();
    std::memcpy(list, runbuf, nrec * sizeof(RleRun));
    slot = list;
    count_up(a->used_bytes, static_cast<std::int64_t>(nrec) * sizeof(RleRun));
    entry->fresh = 1;
    entry->run_list = list;
    return nullptr;
}

}  // namespace

bool rle_check(PyObject* obj)
{
    if (obj == nullptr) return false;
    if (Py_TYPE(obj)->tp_basicsize < static_cast<Py_ssize_t>(sizeof(RleArray))) return false;
    return reinterpret_cast<const RleArray*>(obj)->magic == RLE_MAGIC;
}

bool rle_layout(int ndim, const std::int64_t* dims, std::int32_t* strides, std::int32_t* nbytes)
{
    if (ndim < 1 || ndim > RLE_MAXDIM) return false;
    for (int i = 0; i < ndim; ++i)
        if (dims[i] < 1) return false;
    if (dims[ndim - 1] > RLE_MAXLINE) return false;
    std::int64_t size = sizeof(RleEntry);
    for (int i = ndim - 2; i >= 0; --i) {
        strides[i] = static_cast<std::int32_t>(size);
        if (dims[i] > INT32_MAX / size) return false;
        size *= dims[i];
    }
    *nbytes = static_cast<std::int32_t>(size);
    return true;
}

bool rle_consistent(const RleArray* a)
{
    const int ndim = a->nouter + 1;
    if (ndim < 1 || ndim > RLE_MAXDIM) return false;
    std::int64_t dims[RLE_MAXDIM];
    for (int i = 0; i < ndim; ++i) dims[i] = a->dims[i];
    std::int32_t strides[RLE_MAXDIM];
    std::int32_t nbytes;
    if (!rle_layout(ndim, dims, strides, &nbytes)) return false;
    for (int i = 0; i < a->nouter; ++i)
        if (strides[i] != a->strides[i]) return false;
    return nbytes == a->nbytes
           && a->nlines == static_cast<std::int32_t>(static_cast<std::uint32_t>(nbytes) / sizeof(RleEntry))
           && a->data != nullptr && a->rle_type == Py_TYPE(a);
}

RleArray* rle_new(int ndim, const std::int32_t* dims, PyTypeObject* type)
{
    std::int64_t wide[RLE_MAXDIM] = {};
    std::int32_t strides[RLE_MAXDIM];
    std::int32_t nbytes;
    for (int i = 0; i < ndim && i < RLE_MAXDIM; ++i) wide[i] = dims[i];
    if (!rle_layout(ndim, wide, strides, &nbytes)) {
        frame::fail("Dimensions do not fit an RLE array");
        return nullptr;
    }
    PyObject* obj = nullptr;
    if (type->tp_basicsize >= static_cast<Py_ssize_t>(sizeof(RleArray)) && type->tp_alloc != nullptr)
        obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        PyErr_Clear();
        frame::fail("Error Alloc RLE2: Memory Full");
        return nullptr;
    }
    auto* a = reinterpret_cast<RleArray*>(obj);
    a->rle_type = type;
    a->nouter = ndim - 1;
    a->magic = RLE_MAGIC;
    for (int i = 0; i < ndim; ++i) a->dims[i] = dims[i];
    for (int i = 0; i < a->nouter; ++i) a->strides[i] = strides[i];
    a->nbytes = nbytes;
    a->data = static_cast<RleEntry*>(std::malloc(static_cast<std::size_t>(nbytes)));
    if (a->data == nullptr) {
        Py_DECREF(obj);
        frame::fail("Error Alloc RLE1: Memory Full");
        return nullptr;
    }
    a->nlines = static_cast<std::int32_t>(static_cast<std::uint32_t>(nbytes) / sizeof(RleEntry));
    a->used_bytes = nbytes;
    a->shared_lines = 0;
    return a;
}

int rle_next(const RleArray* a, std::int32_t* idx)
{
    for (int i = a->nouter - 1; i >= 0; --i) {
        if (idx[i] != a->dims[i] - 1) {
            ++idx[i];
            return 1;
        }
        if (i == 0) return 0;
        idx[i] = 0;
    }
    return 0;
}

void rle_expand(const RleArray* a, const RleEntry* entry, float* out)
{
    const std::int32_t length = rle_line_length(a);
    for (const RleRun* rec = entry->run_list; rec->start < length; ++rec) {
        const float v = rec->run_value * entry->max;
        const std::int32_t end = rec[1].start < length ? rec[1].start : length;
        for (std::int32_t i = rec->start; i < end; ++i) out[i] = v;
    }
}

float line_hash_step(float h, float v)
{
    // h + v is a single-precision sum; π joins it in double precision.
    const float hv = h + v;
    const float t = static_cast<float>(static_cast<double>(hv) + 3.141592653589793);
    const float u = t * t;
    const float w = u * u * t;
    return static_cast<float>(w - std::floor(w));
}

bool RleTables::allocate()
{
    float_table_a = frame::scratch<float>(RLE_NHFLT, true);
    float_table_b = frame::scratch<float>(RLE_NHFLT, true);
    line_table = frame::scratch<RleRun*>(RLE_NHASH, true);
    return float_table_a && float_table_b && line_table;
}

const frame::Check* rle_compress(RleArray* a, RleEntry* entry, RleRun* runbuf, float* line,
                                 RleTables& tables, bool tolerant)
{
    return compress(a, entry, runbuf, line, [](int k) { return static_cast<std::int32_t>(k); },
                    rle_line_length(a), tables, tolerant);
}

void rle_repeat(RleArray* a, RleEntry* entry, const RleEntry* previous)
{
    *entry = *previous;
    entry->fresh = 0;
    count_up(a->shared_lines, 1);
}

const frame::Check* rle_compress_segments(RleArray* a, RleEntry* entry, RleRun* runbuf,
                                          float* value, const std::int32_t* start, int count,
                                          RleTables& tables, bool tolerant)
{
    return compress(a, entry, runbuf, value, [start](int k) { return start[k]; }, count, tables,
                    tolerant);
}

}  // namespace cellcoef
