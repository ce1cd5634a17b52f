// Surface mode in tiles: the node table and the strips of a large window at
// the speed of memory, split over the cores.
//
// The passes of fill_plane walk the node table twice and emit every strip
// with u innermost, a node row (tens of kilobytes) apart. Here the window is
// cut into tiles of at most tile_rows x tile_columns nodes. A tile computes its
// node records (positions, normals, colours) in a buffer of its own, writes
// them into the node table, and emits the part of every strip that crosses it
// from that buffer, while it is in cache. What makes the parts independent:
//   - a node's position and colour depend on the inputs alone, its normal on
//     the positions of the next node along u and along v, or, on the last row
//     and column of the window, on the normal next to it, which the tile also
//     holds (every tile of a window at least two nodes long is at least two
//     nodes long);
//   - where each vertex goes follows from the mask alone: a first pass takes
//     the strip membership of every node column as bits, one word per strip
//     and tile row, and from those the first row of every strip in every
//     tile, the group lengths, and the strip where the output runs out of rows
//     or group entries. The tiles emit the strips before that one; the
//     sequential emission does that strip, from its first row, as before.
// The arithmetic of every value is that of the passes, so the arrays are the
// same bit for bit. Tile rows are split between the cores; each part writes
// its own nodes and its own rows.
#include "hold.hpp"
#include "parallel.hpp"
#include "plane.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace fieldplot {
namespace {

// A function compiled twice, for the SSE2 baseline and for AVX2, the one the
// processor runs chosen at load time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define WIDER_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define WIDER_VECTORS
#endif

// Rows u of a tile: one bit each in a strip's membership word.
constexpr Index tile_rows = 64;
// Columns v of a tile: rows of values 1 KB long are read at a time, and the
// tile's records and heights (about 720 KB) stay in a core's cache.
constexpr Index tile_columns = 256;
// Windows with fewer nodes run on the calling thread alone.
constexpr Index parallel_nodes = Index(1) << 16;
// Calls that write more bytes than this, twice the largest caches, stream them.
constexpr Index stream_bytes = Index(64) << 20;

static_assert(sizeof(NodeRecord) == NODE_FLOATS * sizeof(float), "NodeRecord is packed");

// n items cut into pieces of at most `most`, as even as may be: every piece
// is at least 2 long when n is, and piece k starts at first(k).
struct Pieces {
    Index n, count;
    Index first(Index k) const { return k * n / count; }
};

Pieces pieces(Index n, Index most) { return {n, std::max<Index>((n + most - 1) / most, 1)}; }

struct Layout {
    const PlaneJob& job;
    Index nu, strips;  // window nodes along u; rows of cells
    Pieces tiles_u, tiles_v;
    const float* u_position;  // the stored coordinate of every window row
    const float* v_position;  // and column
    double base;              // the plane's coordinate along the normal axis
    std::uint64_t* members;   // [tile along u][strip]: bit i for node column tile start + i
    bool streaming;           // the arrays written are far larger than the caches
};

// Copies `bytes` bytes, the 16-byte aligned part with stores that go to
// memory past the caches: the output of a large window would only push
// everything else out of them, and a line written whole is not read first.
void stream(char* to, const void* from_bytes, Index bytes)
{
    const char* from = static_cast<const char*>(from_bytes);
#if defined(__SSE2__)
    const Index head = std::min<Index>((16 - reinterpret_cast<std::uintptr_t>(to) % 16) % 16, bytes);
    std::memcpy(to, from, head);
    to += head;
    from += head;
    bytes -= head;
    for (; bytes >= 16; bytes -= 16, to += 16, from += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(to),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
#endif
    std::memcpy(to, from, bytes);
}

// Rows row .. row + count - 1 of an output, W floats each, from the W floats
// at byte `offset` of each record of `vertex`. Streamed where the rows lie
// back to back: three rows of three floats become four aligned 16-byte
// stores, a row of four floats one.
template <int W, std::size_t offset>
void write_rows(const frame::Unaligned<float, 2>& to, const NodeRecord* const* vertex, Index count,
                Index row, bool streaming)
{
    constexpr Index bytes = W * sizeof(float);
    auto field = [&](Index i) { return reinterpret_cast<const char*>(vertex[i]) + offset; };
    Index i = 0;
#if defined(__SSE2__)
    char* out = to.at(row, 0);
    if (streaming && to.step[0] == bytes && reinterpret_cast<std::uintptr_t>(out) % 4 == 0) {
        for (; i < count && reinterpret_cast<std::uintptr_t>(out + i * bytes) % 16 != 0; ++i)
            std::memcpy(out + i * bytes, field(i), bytes);
        auto load = [&](Index k) { return _mm_loadu_ps(reinterpret_cast<const float*>(field(k))); };
        auto put = [&](Index k, __m128 x) { _mm_stream_ps(reinterpret_cast<float*>(out + k), x); };
        if constexpr (W == 4) {
            for (; i < count; ++i) put(i * bytes, load(i));
        } else {
            // The fourth float of each load is the next field's, never stored.
            for (; i + 4 <= count; i += 4) {
                const __m128 a = load(i), b = load(i + 1), c = load(i + 2), d = load(i + 3);
                const __m128 a2b0 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 2, 2));
                const __m128 c2d0 = _mm_shuffle_ps(c, d, _MM_SHUFFLE(0, 0, 2, 2));
                put(i * bytes, _mm_shuffle_ps(a, a2b0, _MM_SHUFFLE(2, 0, 1, 0)));
                put(i * bytes + 16, _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 0, 2, 1)));
                put(i * bytes + 32, _mm_shuffle_ps(c2d0, d, _MM_SHUFFLE(2, 1, 2, 0)));
            }
        }
    }
#else
    (void)streaming;
#endif
    for (; i < count; ++i) std::memcpy(to.at(row + i, 0), field(i), bytes);
}

// Makes the streamed stores of this thread visible to the others.
void end_streaming()
{
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// The strip membership of the node columns of tile row k: column u belongs to
// strip v when cell (u, v) or (u - 1, v) is selected.
void take_members(const Layout& l, Index k)
{
    const PlaneJob& job = l.job;
    std::uint64_t* word = l.members + k * l.strips;
    std::fill(word, word + l.strips, 0);
    const Index first = job.u_first + l.tiles_u.first(k), end = job.u_first + l.tiles_u.first(k + 1);
    const Index step = job.cell_mask.step[1];
    for (Index u = first; u < end; ++u) {
        const auto* cur = reinterpret_cast<const std::uint8_t*>(job.cell_mask.at(u, job.v_first));
        const auto* before = u > job.u_first ? cur - job.cell_mask.step[0] : cur;
        const std::uint64_t bit = std::uint64_t(1) << (u - first);
        if (step == 1) {  // the common layout, in vector steps
            for (Index t = 0; t < l.strips; ++t) word[t] |= (cur[t] | before[t]) != 0 ? bit : 0;
        } else {
            for (Index t = 0; t < l.strips; ++t)
                word[t] |= (cur[t * step] | before[t * step]) != 0 ? bit : 0;
        }
    }
}

int popcount(std::uint64_t w) { return __builtin_popcountll(w); }

// Calls run(length) for every run of member columns of strip t, in order of u.
template <class Run>
void for_each_run(const Layout& l, Index t, Run run)
{
    Index open_at = -1;  // the first column of the open run
    for (Index k = 0; k < l.tiles_u.count; ++k) {
        const Index first = l.tiles_u.first(k), rows = l.tiles_u.first(k + 1) - first;
        const std::uint64_t w = l.members[k * l.strips + t];
        for (Index i = 0; i < rows;) {
            const std::uint64_t rest = w >> i;
            if (open_at < 0) {
                if (rest == 0) break;
                i += __builtin_ctzll(rest);
                open_at = first + i;
            } else {
                const Index ones = ~rest == 0 ? 64 : __builtin_ctzll(~rest);
                i += ones;
                if (i >= rows) break;
                run(first + i - open_at);
                open_at = -1;
            }
        }
    }
    if (open_at >= 0) run(l.nu - open_at);
}

// The records of one tile and the scratch they are made in.
struct TileBuffer {
    NodeRecord* records;  // [row][column], columns tile_columns + 1 apart
    float* heights;       // the stored normal-axis coordinate, [row][column], tile_columns + 2 apart
};
constexpr Index record_columns = tile_columns + 1;  // the tile's columns and the next tile's first
constexpr Index height_columns = tile_columns + 2;  // and the column after that

struct Tile {
    Index k;             // tile row, along u
    Index u0, u1;        // rows u0 .. u1 - 1
    Index v0, v_end, v1;  // own columns v0 .. v_end - 1; records up to v1 inclusive
};

template <int N, int U, int V>
class Tiler {
public:
    Tiler(const Layout& l, TileBuffer buffer) : l_(l), job_(l.job), b_(buffer) {}

    void fill(const Tile& t)
    {
        heights(t);
        records(t);
        store(t);
    }

    // The vertices of strip v in tile t from row `row` on; returns the row after them.
    Index emit(const Tile& t, Index v, Index row) const
    {
        std::uint64_t w = l_.members[t.k * l_.strips + (v - job_.v_first)];
        const NodeRecord* column = b_.records + (v - t.v0);
        const NodeRecord* vertex[2 * tile_rows];
        Index count = 0;
        for (; w != 0; w &= w - 1) {
            const NodeRecord* r = column + __builtin_ctzll(w) * record_columns;
            vertex[count++] = r;      // node (u, v)
            vertex[count++] = r + 1;  // node (u, v + 1)
        }
        write_rows<3, offsetof(NodeRecord, position)>(job_.out_positions, vertex, count, row,
                                                      l_.streaming);
        write_rows<3, offsetof(NodeRecord, normal)>(job_.out_normals, vertex, count, row,
                                                    l_.streaming);
        write_rows<4, offsetof(NodeRecord, colour)>(job_.out_colours, vertex, count, row,
                                                    l_.streaming);
        return row + count;
    }

private:
    // Elements (u, v0 .. v0 + count - 1) of a value array of the window.
    void read_row(const frame::Unaligned<const float, 2>& values, Index u, Index v0, Index count,
                  float* out) const
    {
        const char* from = values.at(u - job_.u_first, v0 - job_.v_first);
        if (values.step[1] == Index(sizeof(float))) {
            std::memcpy(out, from, count * sizeof(float));
        } else {
            for (Index j = 0; j < count; ++j) out[j] = load<float>(from + j * values.step[1]);
        }
    }

    // Rows u0 .. u1 (the next tile's first, where it exists), columns v0 ..
    // v1 + 1 (where they exist): the positions the normals of the tile read.
    WIDER_VECTORS
    void heights(const Tile& t)
    {
        const Index rows = std::min(t.u1, job_.u_last) - t.u0 + 1;
        const Index columns = std::min(t.v1 + 1, job_.v_last) - t.v0 + 1;
        const bool lifted = job_.height_scale != 0;
        float values[height_columns] = {};
        for (Index i = 0; i < rows; ++i) {
            if (lifted) read_row(job_.height_values, t.u0 + i, t.v0, columns, values);
            float* h = b_.heights + i * height_columns;
            for (Index j = 0; j < columns; ++j)
                h[j] = static_cast<float>(job_.height_scale * double(values[j]) + l_.base);
            prefetch_next(t, t.u0 + i);
        }
    }

    // The values of row u that the next tile along v reads: rows of a tile
    // lie far apart, too many for the hardware to follow.
    void prefetch_next(const Tile& t, Index u) const
    {
        const Index first = t.v_end + 1, last = std::min(t.v_end + tile_columns + 1, job_.v_last);
        if (first > last) return;
        const Index wu = u - job_.u_first;
        for (const auto* values : {&job_.colour_values, &job_.height_values}) {
            if (values == &job_.height_values && job_.height_scale == 0) break;  // not read
            const char* from = values->at(wu, first - job_.v_first);
            const char* to = values->at(wu, last - job_.v_first);
            if (to < from) std::swap(from, to);
            for (; from <= to; from += 64) __builtin_prefetch(from);
        }
    }

    // A row of records at a time, each quantity over the row's columns, so
    // that the loops vectorise: two doubles at a time in SSE2, four where
    // the processor has AVX2 (the same operations, so the same bits).
    WIDER_VECTORS
    void records(const Tile& t)
    {
        const float alpha = static_cast<float>(job_.alpha);
        const Index columns = t.v1 - t.v0 + 1;
        const float* pv = l_.v_position + (t.v0 - job_.v_first);
        for (Index i = 0; i < t.u1 - t.u0; ++i) {
            const Index u = t.u0 + i;
            NodeRecord* row = b_.records + i * record_columns;
            const float* h = b_.heights + i * height_columns;
            const float pu = l_.u_position[u - job_.u_first];

            float values[record_columns], colour[3][record_columns], normal[3][record_columns];
            read_row(job_.colour_values, u, t.v0, columns, values);
            for (Index j = 0; j < columns; ++j) {
                const double c = std::fabs(double(values[j]));
                float rgb[3];
                ramp(c, 1, rgb);
                for (int k = 0; k < 3; ++k) colour[k][j] = rgb[k];
            }
            if (u < job_.u_last) {
                const double pu1 = l_.u_position[u + 1 - job_.u_first];
                const Index products = std::min(t.v1, job_.v_last - 1) - t.v0 + 1;
                for (Index j = 0; j < products; ++j) {
                    float n[3];
                    product_normal(pu, pu1, pv + j, h + j, n);
                    for (int k = 0; k < 3; ++k) normal[k][j] = n[k];
                }
                // The last column copies the node before it.
                if (t.v1 == job_.v_last) {
                    const Index j = columns - 1;
                    const bool outside = job_.v_last == job_.v_first;
                    double n[3] = {0, 0, 0};
                    if (!outside)
                        for (int k = 0; k < 3; ++k) n[k] = normal[k][j - 1];
                    float unit[3];
                    unit_normal(n, outside, N, unit);
                    for (int k = 0; k < 3; ++k) normal[k][j] = unit[k];
                }
            } else {
                // The last row copies the row before, which the tile holds.
                const bool outside = job_.u_last == job_.u_first;
                for (Index j = 0; j < columns; ++j) {
                    double n[3] = {0, 0, 0};
                    if (!outside)
                        for (int k = 0; k < 3; ++k) n[k] = row[j - record_columns].normal[k];
                    float unit[3];
                    unit_normal(n, outside, N, unit);
                    for (int k = 0; k < 3; ++k) normal[k][j] = unit[k];
                }
            }
            for (Index j = 0; j < columns; ++j) {
                NodeRecord& r = row[j];
                r.position[U] = pu;
                r.position[V] = pv[j];
                r.position[N] = h[j];
                for (int k = 0; k < 3; ++k) {
                    r.normal[k] = normal[k][j];
                    r.colour[k] = colour[k][j];
                }
                r.alpha = alpha;
            }
        }
    }

    // n = du x dv with du = P(u+1, v) - P(u, v) and dv = P(u, v+1) - P(u, v),
    // from the positions along u and v and the heights of this row and the
    // next, stored as a unit normal.
    static void product_normal(double pu, double pu1, const float* pv, const float* h,
                               float out[3])
    {
        const double p = h[0];
        double du[3], dv[3];
        du[U] = pu1 - pu;
        du[V] = double(pv[0]) - double(pv[0]);
        du[N] = double(h[height_columns]) - p;
        dv[U] = pu - pu;
        dv[V] = double(pv[1]) - double(pv[0]);
        dv[N] = double(h[1]) - p;
        double n[3];
        for (int m = 0; m < 3; ++m) {
            const int a = (m + 1) % 3, b = (m + 2) % 3;
            n[m] = du[a] * dv[b] - du[b] * dv[a];
        }
        unit_normal(n, false, N, out);
    }

    // The tile's own records into the node table.
    void store(const Tile& t) const
    {
        const Index count = t.v_end - t.v0;
        for (Index u = t.u0; u < t.u1; ++u) {
            const NodeRecord* from = b_.records + (u - t.u0) * record_columns;
            char* to = job_.nodes.at(u, t.v0, 0);
            if (job_.nodes.step[1] == Index(sizeof(NodeRecord))) {
                put(to, from, count * sizeof(NodeRecord));
            } else {
                for (Index j = 0; j < count; ++j, to += job_.nodes.step[1])
                    std::memcpy(to, from + j, sizeof(NodeRecord));
            }
        }
    }

    void put(char* to, const void* from, Index bytes) const
    {
        if (l_.streaming)
            stream(to, from, bytes);
        else
            std::memcpy(to, from, bytes);
    }

    const Layout& l_;
    const PlaneJob& job_;
    TileBuffer b_;
};

// Part p of `parts`: tile rows first_tile(p) .. first_tile(p + 1) - 1, every
// tile column of them. `row` holds, per strip, the row its vertices in the
// part's first tile start at; `emitted` is the first strip the tiles leave
// to the sequential emission.
template <int N, int U, int V>
void run_part(const Layout& l, TileBuffer buffer, Index tile_begin, Index tile_end, Index* row,
              Index emitted)
{
    Tiler<N, U, V> tiler(l, buffer);
    const PlaneJob& job = l.job;
    for (Index k = tile_begin; k < tile_end; ++k) {
        Tile t;
        t.k = k;
        t.u0 = job.u_first + l.tiles_u.first(k);
        t.u1 = job.u_first + l.tiles_u.first(k + 1);
        for (Index j = 0; j < l.tiles_v.count; ++j) {
            t.v0 = job.v_first + l.tiles_v.first(j);
            t.v_end = job.v_first + l.tiles_v.first(j + 1);
            t.v1 = std::min(t.v_end, job.v_last);
            tiler.fill(t);
            const Index strips_end = std::min(t.v_end, job.v_first + emitted);
            for (Index v = t.v0; v < strips_end; ++v)
                row[v - job.v_first] = tiler.emit(t, v, row[v - job.v_first]);
        }
    }
    if (l.streaming) end_streaming();
}

using PartRunner = void (*)(const Layout&, TileBuffer, Index, Index, Index*, Index);

template <int N, int U, int V>
constexpr PartRunner runner_for() { return &run_part<N, U, V>; }

PartRunner runner(int normal_axis, int u_axis)
{
    switch (normal_axis * 3 + u_axis) {
    case 0 * 3 + 1: return runner_for<0, 1, 2>();
    case 0 * 3 + 2: return runner_for<0, 2, 1>();
    case 1 * 3 + 0: return runner_for<1, 0, 2>();
    case 1 * 3 + 2: return runner_for<1, 2, 0>();
    case 2 * 3 + 0: return runner_for<2, 0, 1>();
    default: return runner_for<2, 1, 0>();
    }
}

}  // namespace

Index fill_surface_tiles(const PlaneJob& job)
{
    const Index nu = job.u_last - job.u_first + 1, nv = job.v_last - job.v_first + 1;
    const Index strips = nv - 1;
    const Pieces tiles_u = pieces(nu, tile_rows), tiles_v = pieces(nv, tile_columns);
    const int parts = nu * nv < parallel_nodes
                          ? 1
                          : static_cast<int>(std::min<Index>(frame::cores(), tiles_u.count));

    auto u_position = frame::scratch<float>(nu);
    auto v_position = frame::scratch<float>(nv);
    auto members = frame::scratch<std::uint64_t>(tiles_u.count * strips);
    auto first_row = frame::scratch<Index>(strips);       // of each strip
    auto groups_before = frame::scratch<Index>(strips);   // group entries before each strip
    auto part_rows = frame::scratch<Index>(parts * strips);
    auto records = frame::scratch<NodeRecord>(parts * tile_rows * record_columns);
    auto heights = frame::scratch<float>(parts * (tile_rows + 1) * height_columns);
    if (!u_position || !v_position || !members || !first_row || !groups_before || !part_rows ||
        !records || !heights)
        return -1;

    for (Index i = 0; i < nu; ++i)
        u_position[i] = static_cast<float>(load<double>(job.coords[job.u_axis].at(job.u_first + i)));
    for (Index j = 0; j < nv; ++j)
        v_position[j] = static_cast<float>(load<double>(job.coords[job.v_axis].at(job.v_first + j)));
    // A vertex row is as wide as a node record; every node column may give two.
    const Index bytes_written = (nu * nv + 2 * nu * strips) * Index(sizeof(NodeRecord));
    const Layout l{job,
                   nu,
                   strips,
                   tiles_u,
                   tiles_v,
                   u_position.get(),
                   v_position.get(),
                   load<double>(job.coords[job.normal_axis].at(job.plane)),
                   members.get(),
                   bytes_written > stream_bytes};
    auto tile_begin = [&](int p) { return tiles_u.count * p / parts; };

    frame::run_parts(parts, [&](int p) {
        for (Index k = tile_begin(p); k < tile_begin(p + 1); ++k) take_members(l, k);
    });

    // Where every strip starts, and the first one that does not fit: its
    // vertices must stay within capacity - 10 and its groups leave room for
    // the closing 0.
    Index rows = 0, groups = 0, emitted = strips;
    for (Index t = 0; t < strips; ++t) {
        Index columns = 0, runs = 0;
        std::uint64_t carry = 0;
        for (Index k = 0; k < tiles_u.count; ++k) {
            const std::uint64_t w = members[k * strips + t];
            columns += popcount(w);
            runs += popcount(w & ~((w << 1) | carry));
            carry = (w >> (tiles_u.first(k + 1) - tiles_u.first(k) - 1)) & 1;
        }
        const bool fits = rows + 2 * columns <= job.capacity - 9 && groups + runs < job.counts_length;
        if (columns > 0 && !fits) {
            emitted = t;
            break;
        }
        first_row[t] = rows;
        groups_before[t] = groups;
        rows += 2 * columns;
        groups += runs;
    }

    // Each part's first row per strip: the strip's first row and the
    // vertices of the tile rows before the part.
    for (int p = 0; p < parts; ++p) {
        Index* start = part_rows.get() + p * strips;
        for (Index t = 0; t < emitted; ++t) {
            Index r = first_row[t];
            for (Index k = 0; k < tile_begin(p); ++k) r += 2 * popcount(members[k * strips + t]);
            start[t] = r;
        }
    }

    const PartRunner run = runner(job.normal_axis, job.u_axis);
    frame::run_parts(parts, [&](int p) {
        const TileBuffer buffer{records.get() + p * tile_rows * record_columns,
                                heights.get() + p * (tile_rows + 1) * height_columns};
        run(l, buffer, tile_begin(p), tile_begin(p + 1), part_rows.get() + p * strips, emitted);
    });

    for (Index t = 0; t < emitted; ++t) {
        Index g = groups_before[t];
        for_each_run(l, t, [&](Index length) {
            store<std::int32_t>(job.out_counts.at(g++), static_cast<std::int32_t>(2 * length));
        });
    }
    Emission out(job, rows, groups);
    if (emitted < strips) emit_surface(job, out, job.v_first + emitted);
    return out.finish();
}

}  // namespace fieldplot
