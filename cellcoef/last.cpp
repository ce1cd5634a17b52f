#include "last.hpp"

#include "formulas.hpp"
#include "hold.hpp"
#include "methods.hpp"
#include "shared.hpp"

namespace cellcoef {
namespace {

// Cuts line idx into segments on which both a and b are constant, following
// the runs of both lists, and computes each segment's coefficient pair: the
// values every cell of the segment would get. Returns the segment count.
int line_segments(const LastJob& job, const std::int32_t* idx, const LastRows& rows)
{
    const RleEntry* ea = rle_entry(job.a, idx);
    const RleEntry* eb = rle_entry(job.b, idx);
    const RleRun* ra = ea->run_list;
    const RleRun* rb = eb->run_list;
    const std::int32_t length = rle_line_length(job.b);
    const double a_scale = job.a_scale;
    int n = 0;
    for (std::int32_t s = 0; s < length; ++n) {
        const float a = ra->run_value * ea->max;
        const float b = rb->run_value * eb->max;
        update_coefficients(a / a_scale, b, &rows.pm[n], &rows.pl[n]);
        rows.start[n] = s;
        const std::int32_t end = ra[1].start < rb[1].start ? ra[1].start : rb[1].start;
        if (ra[1].start == end) ++ra;
        if (rb[1].start == end) ++rb;
        s = end;
    }
    return n;
}

std::int16_t* code_line(const LastJob& job, const std::int32_t* idx)
{
    char* p = job.codes.data;
    for (int d = 0; d < job.b->nouter; ++d) p += job.codes.step[d] * idx[d];
    return reinterpret_cast<std::int16_t*>(p);
}

}  // namespace

const frame::Check* last_compress(const LastJob& job, const LastRows& rows, RleTables& tables)
{
    std::int32_t idx[RLE_MAXDIM] = {};
    do {
        const int n = line_segments(job, idx, rows);
        if (const frame::Check* failed = rle_compress_segments(
                job.pm, rle_entry(job.pm, idx), rows.runbuf, rows.pm, rows.start, n, tables, true))
            return failed;
        if (const frame::Check* failed = rle_compress_segments(
                job.pl, rle_entry(job.pl, idx), rows.runbuf, rows.pl, rows.start, n, tables, false))
            return failed;
    } while (rle_next(job.b, idx));
    return nullptr;
}

std::int64_t last_mark(const LastJob& job, const LastRows& rows)
{
    if (job.bit >= COMPONENT_COUNT) return 0;
    const auto mask = static_cast<std::int16_t>(~(1 << job.bit));
    const auto lossy = static_cast<std::int16_t>(lossy_flag_of(job.bit));
    const std::int32_t length = rle_line_length(job.b);
    std::int64_t count = 0;
    std::int32_t idx[RLE_MAXDIM] = {};
    do {
        const int n = line_segments(job, idx, rows);
        std::int16_t* codes = code_line(job, idx);
        for (int k = 0; k < n; ++k) {
            const bool cleared = rows.pm[k] == 0.0f;
            const bool lossy_cell = rows.pl[k] < 1.0f;
            if (!cleared && !lossy_cell) continue;
            const std::int32_t end = k + 1 < n ? rows.start[k + 1] : length;
            for (std::int32_t j = rows.start[k]; j < end; ++j) {
                if (cleared) codes[j] = static_cast<std::int16_t>(codes[j] & mask);
                if (lossy_cell) codes[j] = static_cast<std::int16_t>(codes[j] | lossy);
            }
            if (cleared) count += end - rows.start[k];
        }
    } while (rle_next(job.b, idx));
    return count;
}

PyObject* last(PyObject* args)
{
    PyObject* obj_a;
    PyObject* obj_b;
    PyObject* obj_codes;
    int bit;
    float a_scale;
    if (!frame::parse(args, "OOOif", &obj_a, &obj_b, &obj_codes, &bit, &a_scale)) return nullptr;
    if (!rle_check(obj_a) || !rle_check(obj_b)) return frame::fail("RLE Array expected");
    const auto* a = reinterpret_cast<const RleArray*>(obj_a);
    const auto* b = reinterpret_cast<const RleArray*>(obj_b);
    if (!rle_consistent(a) || !rle_consistent(b)) return frame::fail("RLE Array expected");
    if (!frame::require_arrays({obj_codes})) return nullptr;

    const int ndim = b->nouter + 1;
    bool same_shape = a->nouter == b->nouter;
    for (int d = 0; same_shape && d < ndim; ++d) same_shape = a->dims[d] == b->dims[d];
    if (!same_shape) return frame::fail_arg("Shape differs from rle_b", "rle_a");

    // The codes have b's dimensions, each line contiguous.
    const std::int32_t length = rle_line_length(b);
    frame::Extent extent[RLE_MAXDIM];
    for (int d = 0; d < b->nouter; ++d) extent[d] = b->dims[d];
    extent[b->nouter] = frame::Extent::exactly(length, "Line length differs from rle_b");
    frame::Strided<std::int16_t, RLE_MAXDIM> codes;
    if (!frame::view(codes, obj_codes, "codes", ndim, extent, frame::Access::write,
                     frame::unit_step(b->nouter)))
        return nullptr;
    if (bit < 0) return frame::fail_arg("Value out of range", "bit");

    auto row_pm = frame::scratch<float>(length);
    auto row_pl = frame::scratch<float>(length);
    auto row_start = frame::scratch<std::int32_t>(length);
    auto runbuf = frame::scratch<RleRun>(static_cast<std::size_t>(length) + 5);
    RleTables tables;
    if (!row_pm || !row_pl || !row_start || !runbuf || !tables.allocate()) return PyErr_NoMemory();

    frame::Ref pl(reinterpret_cast<PyObject*>(rle_new(ndim, b->dims, b->rle_type)));
    if (!pl) return nullptr;
    frame::Ref pm(reinterpret_cast<PyObject*>(rle_new(ndim, b->dims, b->rle_type)));
    if (!pm) return nullptr;

    const LastJob job{a, b, reinterpret_cast<RleArray*>(pm.get()),
                      reinterpret_cast<RleArray*>(pl.get()), codes, bit, a_scale};
    const LastRows rows{row_pm.get(), row_pl.get(), row_start.get(), runbuf.get()};

    // The codes change only once every line has compressed.
    if (const frame::Check* failed = last_compress(job, rows, tables)) return frame::report(*failed);
    const std::int64_t count = last_mark(job, rows);

    frame::Ref number(PyLong_FromLongLong(count));
    frame::Ref result(PyTuple_New(3));
    if (!number || !result) return nullptr;
    PyTuple_SET_ITEM(result.get(), 0, pm.release());
    PyTuple_SET_ITEM(result.get(), 1, pl.release());
    PyTuple_SET_ITEM(result.get(), 2, number.release());
    return result.release();
}

}  // namespace cellcoef
