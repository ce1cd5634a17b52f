// Time steps of a plan on worker threads over z-slabs, with sources, probes,
// the on-the-fly DFT and the energy stop rule.
#pragma once

#include "plan.hpp"
#include "sweep.hpp"

#include <complex>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace yeestep {

// A field value the call reads or changes: element `offset` of the fields,
// component `comp` of cell (i, j, k).
struct Point {
    std::int64_t offset;
    std::int32_t comp;
    std::int32_t i, j, k;
};

class Barrier;

constexpr int HALVES_H = 1;
constexpr int HALVES_E = 2;
constexpr int HALVES_BOTH = HALVES_H | HALVES_E;

// What one call does besides stepping. Arrays are indexed by the step of the
// call, r = 0 .. count - 1; the absolute step is first + r.
struct StepIo {
    std::int64_t first = 0;
    std::int64_t count = 0;
    int halves = HALVES_BOTH;
    // F -= K * wave[r][s] at source s after the update of its half-step.
    std::vector<Point> sources;
    std::vector<double> source_k;
    const double* wave = nullptr;
    // probe_out[r][p] = F at probe p after step r (E at n + 1, H at n + 1/2).
    std::vector<Point> probes;
    double* probe_out = nullptr;
    // dft_out[f][d] += F exp(-i omega_f t), t = (n + 1) dt for E and
    // (n + 1/2) dt for H; omega_dt[f] = omega_f dt.
    std::vector<Point> dft;
    const double* omega_dt = nullptr;
    std::int64_t nfreq = 0;
    std::complex<double>* dft_out = nullptr;
    // Every `every` absolute steps (0: never) the energy is measured; the call
    // ends after the step where it has fallen to `level` times the largest
    // energy seen since prepare or reset.
    std::int64_t every = 0;
    double level = 0.0;
};

// Runs the call's steps on `threads` threads (fewer when the grid has fewer
// planes or a thread cannot be started; the results are the same). Made with
// the interpreter lock held (it allocates and starts the threads, which wait);
// run() allocates nothing and is called without the lock.
class Stepper {
public:
    Stepper(Plan& plan, float* fields, const StepIo& io, int threads);
    Stepper(const Stepper&) = delete;
    Stepper& operator=(const Stepper&) = delete;
    ~Stepper();
    // Returns the number of steps made.
    std::int64_t run();

private:
    // A slab's planes and its share of the points: [begin, end) of the
    // orders below, which list the points by plane.
    struct Slab {
        int k0, k1;
        std::size_t sources[2], probes[2], dft[2];
        // the slab's H sources for the one-pass step, by line
        std::vector<LineAdd> h_adds;
        std::vector<std::int64_t> h_source;
    };
    void worker(int t);
    void apply_sources(const Slab& s, int half, std::int64_t r);
    void record(const Slab& s, int half, std::int64_t r);
    void release(bool abort);

    Plan& plan_;
    float* fields_;
    const StepIo& io_;
    std::vector<std::int64_t> source_order_, probe_order_, dft_order_;
    std::vector<Slab> slabs_;
    std::vector<double> plane_energy_;
    std::vector<std::thread> pool_;
    std::unique_ptr<Barrier> barrier_;
    std::mutex start_mutex_;
    std::condition_variable start_;
    bool go_ = false;
    bool abort_ = false;
    double peak_ = 0.0;
    std::int64_t done_ = 0;
};

// The field energy over the time step (see plane_energy), planes summed in
// order, so the same for any thread count.
double energy(const Plan& plan, const float* fields, int threads);

}  // namespace yeestep
