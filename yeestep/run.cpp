#include "run.hpp"

#include "sweep.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>

namespace yeestep {

// All threads of a call meet here between half-steps. Waiting spins for a
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

// Indices of `points` ordered by plane (stable).
std::vector<std::int64_t> by_plane(const std::vector<Point>& points)
{
    std::vector<std::int64_t> order(points.size());
    for (std::size_t n = 0; n < order.size(); ++n) order[n] = static_cast<std::int64_t>(n);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::int64_t a, std::int64_t b) { return points[a].k < points[b].k; });
    return order;
}

// [begin, end) of the points of planes [k0, k1) in an order made by by_plane.
void range_of(const std::vector<Point>& points, const std::vector<std::int64_t>& order, int k0,
              int k1, std::size_t out[2])
{
    const auto below = [&](int k) {
        return static_cast<std::size_t>(
            std::partition_point(order.begin(), order.end(),
                                 [&](std::int64_t n) { return points[n].k < k; }) -
            order.begin());
    };
    out[0] = below(k0);
    out[1] = below(k1);
}

// Planes [k0, k1) of slab t of `threads` over nz planes.
std::pair<int, int> slab(int nz, int threads, int t)
{
    return {static_cast<int>(static_cast<std::int64_t>(nz) * t / threads),
            static_cast<int>(static_cast<std::int64_t>(nz) * (t + 1) / threads)};
}

int usable_threads(int threads, int nz) { return std::max(1, std::min(threads, nz)); }

}  // namespace

Stepper::Stepper(Plan& plan, float* fields, const StepIo& io, int threads)
    : plan_(plan),
      fields_(fields),
      io_(io),
      source_order_(by_plane(io.sources)),
      probe_order_(by_plane(io.probes)),
      dft_order_(by_plane(io.dft)),
      plane_energy_(static_cast<std::size_t>(plan.grid.nz)),
      peak_(plan.peak_energy),
      done_(io.count)
{
    const int wanted = usable_threads(threads, plan.grid.nz);
    slabs_.reserve(static_cast<std::size_t>(wanted));
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
    const int count = static_cast<int>(pool_.size()) + 1;
    try {
        barrier_ = std::make_unique<Barrier>(count);
        for (int t = 0; t < count; ++t) {
            const auto [k0, k1] = slab(plan.grid.nz, count, t);
            Slab s{k0, k1, {}, {}, {}, {}, {}};
            range_of(io.sources, source_order_, k0, k1, s.sources);
            range_of(io.probes, probe_order_, k0, k1, s.probes);
            range_of(io.dft, dft_order_, k0, k1, s.dft);
            for (std::size_t q = s.sources[0]; q < s.sources[1]; ++q) {
                const std::int64_t n = source_order_[q];
                const Point& p = io.sources[static_cast<std::size_t>(n)];
                if (p.comp < 3) continue;
                const std::int64_t cell = p.offset - p.comp * plan.grid.volume;
                const std::int64_t j = cell % plan.grid.plane / plan.grid.row - 1;
                s.h_adds.push_back({static_cast<std::int64_t>(p.k) * plan.grid.ny + j, p.offset, 0.0});
                s.h_source.push_back(n);
            }
            // by line, keeping the order of sources on one line
            std::vector<std::size_t> order(s.h_adds.size());
            for (std::size_t q = 0; q < order.size(); ++q) order[q] = q;
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return s.h_adds[a].line < s.h_adds[b].line;
            });
            std::vector<LineAdd> adds;
            std::vector<std::int64_t> index;
            for (std::size_t q : order) {
                adds.push_back(s.h_adds[q]);
                index.push_back(s.h_source[q]);
            }
            s.h_adds.swap(adds);
            s.h_source.swap(index);
            slabs_.push_back(std::move(s));
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

// F -= K J of the sources of one half-step in the slab's planes.
void Stepper::apply_sources(const Slab& s, int half, std::int64_t r)
{
    const auto ns = static_cast<std::int64_t>(io_.sources.size());
    for (std::size_t q = s.sources[0]; q < s.sources[1]; ++q) {
        const std::int64_t n = source_order_[q];
        const Point& p = io_.sources[static_cast<std::size_t>(n)];
        if ((p.comp < 3) != (half == HALF_E)) continue;
        const double J = io_.wave[r * ns + n];
        fields_[p.offset] = static_cast<float>(fields_[p.offset] - io_.source_k[static_cast<std::size_t>(n)] * J);
    }
}

// The probes and DFT points of one half-step in the slab's planes.
void Stepper::record(const Slab& s, int half, std::int64_t r)
{
    const bool e_half = half == HALF_E;
    const auto of_half = [&](const Point& p) { return (p.comp < 3) == e_half; };
    const auto np = static_cast<std::int64_t>(io_.probes.size());
    for (std::size_t q = s.probes[0]; q < s.probes[1]; ++q) {
        const std::int64_t n = probe_order_[q];
        const Point& p = io_.probes[static_cast<std::size_t>(n)];
        if (of_half(p)) io_.probe_out[r * np + n] = fields_[p.offset];
    }
    if (s.dft[0] == s.dft[1]) return;
    const double t = static_cast<double>(io_.first + r) + (e_half ? 1.0 : 0.5);
    const auto nd = static_cast<std::int64_t>(io_.dft.size());
    for (std::int64_t f = 0; f < io_.nfreq; ++f) {
        const double phase = io_.omega_dt[f] * t;
        const double re = std::cos(phase);
        const double im = -std::sin(phase);
        auto* out = reinterpret_cast<double*>(io_.dft_out + f * nd);
        for (std::size_t q = s.dft[0]; q < s.dft[1]; ++q) {
            const std::int64_t n = dft_order_[q];
            const Point& p = io_.dft[static_cast<std::size_t>(n)];
            if (!of_half(p)) continue;
            const double v = fields_[p.offset];
            out[2 * n] += v * re;
            out[2 * n + 1] += v * im;
        }
    }
}

void Stepper::worker(int t)
{
    Slab& s = slabs_[static_cast<std::size_t>(t)];
    const auto ns = static_cast<std::int64_t>(io_.sources.size());
    double peak = peak_;
    for (std::int64_t r = 0; r < io_.count; ++r) {
        if (io_.halves == HALVES_BOTH) {
            // One pass over the slab; its first plane's E after the meeting.
            for (std::size_t q = 0; q < s.h_adds.size(); ++q) {
                const std::int64_t n = s.h_source[q];
                s.h_adds[q].value = io_.source_k[static_cast<std::size_t>(n)] * io_.wave[r * ns + n];
            }
            sweep_step(plan_, fields_, s.k0, s.k1, s.h_adds.data(), s.h_adds.size());
            barrier_->wait();
            sweep_e(plan_, fields_, s.k0, s.k0 + 1);
            record(s, HALF_H, r);
        } else {
            if (io_.halves & HALVES_H) {
                sweep_h(plan_, fields_, s.k0, s.k1);
                apply_sources(s, HALF_H, r);
                record(s, HALF_H, r);
            }
            barrier_->wait();
            if (io_.halves & HALVES_E) sweep_e(plan_, fields_, s.k0, s.k1);
        }
        if (io_.halves & HALVES_E) {
            apply_sources(s, HALF_E, r);
            record(s, HALF_E, r);
        }
        const std::int64_t n = io_.first + r + 1;
        const bool check = io_.halves == HALVES_BOTH && io_.every > 0 && n % io_.every == 0;
        if (check)
            for (int k = s.k0; k < s.k1; ++k)
                plane_energy_[static_cast<std::size_t>(k)] = plane_energy(plan_, fields_, k);
        barrier_->wait();
        if (check) {
            // Every thread sums the same planes in the same order, so all
            // take the same decision without another meeting.
            double w = 0.0;
            for (double e : plane_energy_) w += e;
            peak = std::max(peak, w);
            if (peak > 0.0 && w <= peak * io_.level) {
                if (t == 0) done_ = r + 1;
                break;
            }
        }
    }
    if (t == 0) peak_ = peak;
}

std::int64_t Stepper::run()
{
    release(false);
    worker(0);
    for (std::thread& t : pool_) t.join();
    plan_.peak_energy = peak_;
    return done_;
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
