#include "run.hpp"

#include <algorithm>
#include <cmath>
#include <exception>

namespace yeestep {

// All threads of a slab call meet here between half-steps. Waiting spins for a
// short while (two balanced slabs end their half-step at nearly the same
// time) and then blocks, so a shared machine loses no core to it.
class Barrier {
public:
    explicit Barrier(int count) : count_(count) {}

    void wait()
    {
        if (count_ == 1) return;
        const unsigned generation = generation_.load(std::memory_order_acquire);
        if (arrived_.fetch_add(1, std::memory_order_acq_rel) == count_ - 1) {
            arrived_.store(0, std::memory_order_relaxed);
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                generation_.fetch_add(1, std::memory_order_release);
            }
            woken_.notify_all();
            return;
        }
        for (int spin = 0; spin < SPINS; ++spin)
            if (generation_.load(std::memory_order_acquire) != generation) return;
        std::unique_lock<std::mutex> lock(mutex_);
        woken_.wait(lock, [&] { return generation_.load(std::memory_order_acquire) != generation; });
    }

private:
    static constexpr int SPINS = 20000;
    const int count_;
    std::atomic<int> arrived_{0};
    std::atomic<unsigned> generation_{0};
    std::mutex mutex_;
    std::condition_variable woken_;
};

namespace {

// The bytes the pipeline's stages in flight may keep between them: half the
// last-level cache of the processors this runs on (32 MiB shared by their
// cores), so that the planes a stage reads come from the cache its
// predecessor left them in. Each stage in flight keeps about two planes.
constexpr double IN_FLIGHT_BYTES = 16.0 * (1 << 20);
constexpr int MAX_IN_FLIGHT = 8;  // stages per thread; more only lengthens fill and drain

// Planes [k0, k1) of slab t of `threads` over nz planes.
std::pair<int, int> slab(int nz, int threads, int t)
{
    return {static_cast<int>(static_cast<std::int64_t>(nz) * t / threads),
            static_cast<int>(static_cast<std::int64_t>(nz) * (t + 1) / threads)};
}

int usable_threads(int threads, std::int64_t limit)
{
    return static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(threads, limit)));
}

// A thread that finds nothing to do lets the other run: a pause per spin, then
// the processor for other work after many spins.
void idle(int& spins)
{
    if (++spins < 256) {
#if defined(__x86_64__)
        __builtin_ia32_pause();
#endif
        return;
    }
    spins = 0;
    std::this_thread::yield();
}

// The stop rule after a measuring step: the energy `w` against the largest
// seen, which it updates.
bool fallen(double w, double& peak, double level)
{
    peak = std::max(peak, w);
    return peak > 0.0 && w <= peak * level;
}

}  // namespace

Stepper::ByPlane Stepper::by_plane(const std::vector<Point>& points) const
{
    ByPlane b;
    b.order.resize(points.size());
    for (std::size_t n = 0; n < points.size(); ++n) b.order[n] = static_cast<std::int64_t>(n);
    std::stable_sort(b.order.begin(), b.order.end(),
                     [&](std::int64_t x, std::int64_t y) { return points[x].k < points[y].k; });
    b.first.assign(static_cast<std::size_t>(plan_.grid.nz) + 1, 0);
    for (const Point& p : points) ++b.first[static_cast<std::size_t>(p.k) + 1];
    for (int k = 0; k < plan_.grid.nz; ++k) b.first[k + 1] += b.first[k];
    return b;
}

Stepper::Stepper(Plan& plan, float* fields, const StepIo& io, int threads)
    : plan_(plan),
      sweeps_(*plan.sweeps),
      fields_(fields),
      io_(io),
      sources_(by_plane(io.sources)),
      probes_(by_plane(io.probes)),
      dft_(by_plane(io.dft)),
      plane_energy_(static_cast<std::size_t>(plan.grid.nz)),
      peak_(plan.peak_energy)
{
    const int nz = plan.grid.nz;
    end_.store(io.count);
    // Whole steps in a pipeline, unless a slab call of one step (or steps
    // measured one by one) keeps more threads busy.
    pipelined_ = io.halves == HALVES_BOTH &&
                 !(threads > 1 && (io.count < 2 || io.every == 1));
    const int wanted = pipelined_ ? usable_threads(threads, io.count) : usable_threads(threads, nz);
    if (pipelined_) {
        // the H sources of each plane, by line and in the list's order on a line
        std::vector<Point> h;
        std::vector<std::int64_t> index;
        for (std::size_t n = 0; n < io.sources.size(); ++n)
            if (io.sources[n].comp >= 3) {
                h.push_back(io.sources[n]);
                index.push_back(static_cast<std::int64_t>(n));
            }
        h_sources_ = by_plane(h);
        std::stable_sort(h_sources_.order.begin(), h_sources_.order.end(),
                         [&](std::int64_t x, std::int64_t y) {
                             return h[x].k != h[y].k ? h[x].k < h[y].k : h[x].j < h[y].j;
                         });
        for (std::int64_t& n : h_sources_.order) n = index[static_cast<std::size_t>(n)];
    }

    pool_.reserve(static_cast<std::size_t>(wanted));
    for (int t = 1; t < wanted; ++t) {
        try {
            pool_.emplace_back([this, t] {
                {
                    std::unique_lock<std::mutex> lock(start_mutex_);
                    start_.wait(lock, [this] { return go_ || abort_; });
                    if (abort_) return;
                }
                worker(t);
            });
        } catch (...) {
            break;  // the threads that started share the work
        }
    }
    threads_ = static_cast<int>(pool_.size()) + 1;
    try {
        barrier_ = std::make_unique<Barrier>(threads_);
        if (pipelined_) {
            const double plane_bytes = static_cast<double>(plan.grid.plane) * COMPONENTS * sizeof(float) +
                                       static_cast<double>(plan.state.size()) * sizeof(float) / nz;
            const double stages = IN_FLIGHT_BYTES / (2.0 * plane_bytes) / threads_;
            in_flight_ = static_cast<int>(std::clamp(stages, 1.0, static_cast<double>(MAX_IN_FLIGHT)));
            ring_ = static_cast<std::int64_t>(in_flight_) * threads_ + 2;
            progress_ = std::make_unique<std::atomic<std::int64_t>[]>(static_cast<std::size_t>(ring_));
            for (std::int64_t n = 0; n < ring_; ++n) progress_[n].store(-1);
            phases_.resize(static_cast<std::size_t>(ring_ * 4 * io.nfreq));
            std::size_t most = 0;
            for (int k = 0; k < nz; ++k)
                most = std::max(most, static_cast<std::size_t>(h_sources_.first[k + 1] - h_sources_.first[k]));
            adds_.assign(static_cast<std::size_t>(threads_), std::vector<LineAdd>(most));
        } else {
            slab_phases_.assign(static_cast<std::size_t>(threads_),
                                std::vector<double>(static_cast<std::size_t>(4 * io.nfreq)));
        }
    } catch (...) {
        release(true);
        for (std::thread& th : pool_) th.join();
        throw;
    }
}

void Stepper::release(bool abort)
{
    {
        const std::lock_guard<std::mutex> lock(start_mutex_);
        (abort ? abort_ : go_) = true;
    }
    start_.notify_all();
}

Stepper::~Stepper()
{
    if (!go_) release(true);
    for (std::thread& t : pool_)
        if (t.joinable()) t.join();
}

bool Stepper::check_after(std::int64_t r) const
{
    return io_.every > 0 && (io_.first + r + 1) % io_.every == 0;
}

// cos and -sin of omega_f t for every frequency, t of H then t of E of step r.
void Stepper::dft_phases(std::int64_t r, double* out) const
{
    for (int half = 0; half < 2; ++half) {
        const double t = static_cast<double>(io_.first + r) + (half == HALF_E ? 1.0 : 0.5);
        for (std::int64_t f = 0; f < io_.nfreq; ++f) {
            const double phase = io_.omega_dt[f] * t;
            out[(half * io_.nfreq + f) * 2] = std::cos(phase);
            out[(half * io_.nfreq + f) * 2 + 1] = -std::sin(phase);
        }
    }
}

// F -= K J of the sources of one half-step in planes [k0, k1).
void Stepper::apply_sources(int k0, int k1, int half, std::int64_t r)
{
    const auto ns = static_cast<std::int64_t>(io_.sources.size());
    for (std::int64_t q = sources_.first[k0]; q < sources_.first[k1]; ++q) {
        const std::int64_t n = sources_.order[q];
        const Point& p = io_.sources[static_cast<std::size_t>(n)];
        if ((p.comp < 3) != (half == HALF_E)) continue;
        const double J = io_.wave[r * ns + n];
        fields_[p.offset] = static_cast<float>(fields_[p.offset] - io_.source_k[static_cast<std::size_t>(n)] * J);
    }
}

// The probes and DFT points of one half-step in planes [k0, k1), with the
// phases of dft_phases.
void Stepper::record(int k0, int k1, int half, std::int64_t r, const double* phase)
{
    const bool e_half = half == HALF_E;
    const auto of_half = [&](const Point& p) { return (p.comp < 3) == e_half; };
    const auto np = static_cast<std::int64_t>(io_.probes.size());
    for (std::int64_t q = probes_.first[k0]; q < probes_.first[k1]; ++q) {
        const std::int64_t n = probes_.order[q];
        const Point& p = io_.probes[static_cast<std::size_t>(n)];
        if (of_half(p)) io_.probe_out[r * np + n] = fields_[p.offset];
    }
    if (dft_.first[k0] == dft_.first[k1]) return;
    const auto nd = static_cast<std::int64_t>(io_.dft.size());
    for (std::int64_t f = 0; f < io_.nfreq; ++f) {
        const double re = phase[(half * io_.nfreq + f) * 2];
        const double im = phase[(half * io_.nfreq + f) * 2 + 1];
        auto* out = reinterpret_cast<double*>(io_.dft_out + f * nd);
        for (std::int64_t q = dft_.first[k0]; q < dft_.first[k1]; ++q) {
            const std::int64_t n = dft_.order[q];
            const Point& p = io_.dft[static_cast<std::size_t>(n)];
            if (!of_half(p)) continue;
            const double v = fields_[p.offset];
            out[2 * n] += v * re;
            out[2 * n + 1] += v * im;
        }
    }
}

// Step r of plane k, with everything the call does there.
void Stepper::plane(int k, std::int64_t r, const double* phase, std::vector<LineAdd>& adds)
{
    const auto ns = static_cast<std::int64_t>(io_.sources.size());
    std::size_t count = 0;
    for (std::int64_t q = h_sources_.first[k]; q < h_sources_.first[k + 1]; ++q) {
        const std::int64_t n = h_sources_.order[q];
        const Point& p = io_.sources[static_cast<std::size_t>(n)];
        adds[count++] = {p.j, p.offset, io_.source_k[static_cast<std::size_t>(n)] * io_.wave[r * ns + n]};
    }
    sweeps_.plane_step(plan_, fields_, k, adds.data(), count);
    apply_sources(k, k + 1, HALF_E, r);
    record(k, k + 1, HALF_H, r, phase);
    record(k, k + 1, HALF_E, r, phase);
    if (check_after(r)) plane_energy_[static_cast<std::size_t>(k)] = plane_energy(plan_, fields_, k);
}


// Stage s may sweep its next plane: stage r - 1 has done the plane above it
// (all planes, and decided, when it measures).
bool Stepper::ready(const Stage& s) const
{
    if (s.r == 0) return true;
    const std::int64_t before = s.r - 1;
    const int nz = plan_.grid.nz;
    const std::int64_t need = check_after(before) ? nz + 1 : std::min(s.next + 2, nz);
    return progress_[before % ring_].load(std::memory_order_acquire) >= before * (nz + 2) + need;
}

// Thread t takes stages t, t + threads, ..., up to in_flight_ at once, and
// sweeps a plane of the newest one that may go on: the older ones then run
// ahead only as far as the newer ones need.
void Stepper::pipeline(int t)
{
    const int nz = plan_.grid.nz;
    std::vector<LineAdd>& adds = adds_[static_cast<std::size_t>(t)];
    Stage active[MAX_IN_FLIGHT];
    int live = 0;
    std::int64_t next = t;
    int spins = 0;
    for (;;) {
        const std::int64_t end = end_.load(std::memory_order_acquire);
        // stages past a stop are dropped; their planes are untouched
        while (live > 0 && active[live - 1].r >= end) --live;
        for (; live < in_flight_ && next < end; next += threads_) {
            double* phase = phases_.data() + (next % ring_) * 4 * io_.nfreq;
            dft_phases(next, phase);
            active[live++] = {next, 0, phase};
        }
        if (live == 0) return;
        int a = live - 1;
        while (a >= 0 && !ready(active[a])) --a;
        if (a < 0) {
            idle(spins);
            continue;
        }
        spins = 0;
        Stage& s = active[a];
        plane(s.next, s.r, s.phase, adds);
        const std::int64_t base = s.r * (nz + 2);
        if (++s.next < nz) {
            progress_[s.r % ring_].store(base + s.next, std::memory_order_release);
            continue;
        }
        if (check_after(s.r)) {
            double w = 0.0;
            for (double e : plane_energy_) w += e;
            const bool stop = fallen(w, peak_, io_.level);
            if (stop) end_.store(s.r + 1);
            progress_[s.r % ring_].store(base + (stop ? nz : nz + 1), std::memory_order_release);
        } else {
            progress_[s.r % ring_].store(base + nz, std::memory_order_release);
        }
        // the oldest stage ends first
        for (int b = a; b + 1 < live; ++b) active[b] = active[b + 1];
        --live;
    }
}

// Each thread sweeps its slab of planes, half-step by half-step.
void Stepper::slabs(int t)
{
    const auto [k0, k1] = slab(plan_.grid.nz, threads_, t);
    std::vector<double>& phase = slab_phases_[static_cast<std::size_t>(t)];
    double peak = peak_;
    for (std::int64_t r = 0; r < io_.count; ++r) {
        dft_phases(r, phase.data());
        if (io_.halves & HALVES_H) {
            sweeps_.sweep_h(plan_, fields_, k0, k1);
            apply_sources(k0, k1, HALF_H, r);
            record(k0, k1, HALF_H, r, phase.data());
        }
        barrier_->wait();
        if (io_.halves & HALVES_E) {
            sweeps_.sweep_e(plan_, fields_, k0, k1);
            apply_sources(k0, k1, HALF_E, r);
            record(k0, k1, HALF_E, r, phase.data());
        }
        const bool check = io_.halves == HALVES_BOTH && check_after(r);
        if (check)
            for (int k = k0; k < k1; ++k)
                plane_energy_[static_cast<std::size_t>(k)] = plane_energy(plan_, fields_, k);
        barrier_->wait();
        if (check) {
            // Every thread sums the same planes in the same order, so all
            // take the same decision without another meeting.
            double w = 0.0;
            for (double e : plane_energy_) w += e;
            if (fallen(w, peak, io_.level)) {
                if (t == 0) end_.store(r + 1);
                break;
            }
        }
    }
    if (t == 0) peak_ = peak;
}

void Stepper::worker(int t)
{
    if (pipelined_)
        pipeline(t);
    else
        slabs(t);
}

std::int64_t Stepper::run()
{
    release(false);
    worker(0);
    for (std::thread& t : pool_) t.join();
    plan_.peak_energy = peak_;
    return end_.load();
}

double plane_energy(const Plan& plan, const float* fields, int k)
{
    const Layout& g = plan.grid;
    double total = 0.0;
    for (int half = 0; half < 2; ++half) {
        const Segment* segs = plan.segments[half].data();
        for (int j = 0; j < g.ny; ++j) {
            const std::int64_t* first = plan.line_first(half, k, j);
            for (int alpha = 0; alpha < 3; ++alpha) {
                const int c = (half == HALF_H ? 3 : 0) + alpha;
                // E edges are primal along their axis, H edges dual.
                const bool primal_x = (half == HALF_E) == (alpha == 0);
                const double* xs = plan.spacing[primal_x ? 0 : 1][0].data();
                const float* f = fields + c * g.volume + g.cell(0, j, k);
                for (const Segment* s = segs + first[alpha]; s != segs + first[alpha + 1]; ++s) {
                    if (s->kind == Kind::split || s->kind == Kind::split_varying) continue;
                    const float* co = plan.coefs.data() + s->coef;
                    for (int t = 0; t < s->len; ++t) {
                        const int i = s->x0 + t;
                        const double w = s->kind == Kind::plain_varying ? co[3 * s->len + t] : co[3];
                        const double v = f[i];
                        total += w * xs[i] * v * v;
                    }
                }
            }
        }
    }
    for (std::int64_t n = plan.skin_first[k]; n < plan.skin_first[k + 1]; ++n) {
        const SkinEdge& e = plan.skin[n];
        const double v = fields[e.at];
        total += static_cast<double>(e.weight) * plan.spacing[e.comp == 0 ? 0 : 1][0][e.i] * v * v;
    }
    return 0.5 * total;
}

double energy(const Plan& plan, const float* fields, int threads)
{
    const int nz = plan.grid.nz;
    std::vector<double> planes(static_cast<std::size_t>(nz));
    const int count = usable_threads(threads, nz);
    const auto work = [&](int t) {
        const auto [k0, k1] = slab(nz, count, t);
        for (int k = k0; k < k1; ++k) planes[static_cast<std::size_t>(k)] = plane_energy(plan, fields, k);
    };
    std::vector<std::thread> pool;
    int t = 1;
    for (; t < count; ++t) {
        try {
            pool.emplace_back(work, t);
        } catch (...) {
            break;
        }
    }
    for (int rest = t; rest < count; ++rest) work(rest);  // slabs no thread took
    work(0);
    for (std::thread& th : pool) th.join();
    double total = 0.0;
    for (double e : planes) total += e;
    return total;
}

}  // namespace yeestep
