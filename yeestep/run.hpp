// Time steps of a plan on worker threads, with sources, probes, the on-the-fly
// DFT and the energy stop rule.
//
// Whole steps run as a pipeline over time: step r of the call is a stage that
// sweeps the planes upwards, one plane-step at a time (H and E of the plane,
// its sources and recordings), and follows stage r - 1 two planes behind, as
// a plane-step needs E of the plane above from the step before. Stages go to
// the threads in turn, several in flight on each, so one pass of the fields
// through the cache makes as many steps as are in flight. Half steps (a slab
// driver's calls), and single steps on several threads, run as before the
// pipeline: each thread sweeps its slab of planes, all meeting between halves.
#pragma once

#include "plan.hpp"
#include "sweep.hpp"

#include <atomic>
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

// Runs the call's steps on `threads` threads (fewer when the call has fewer
// steps or the grid fewer planes, or a thread cannot be started; the results
// are the same bit for bit). Made with the interpreter lock held (it
// allocates and starts the threads, which wait); run() allocates nothing and
// is called without the lock.
class Stepper {
public:
    Stepper(Plan& plan, float* fields, const StepIo& io, int threads);
    Stepper(const Stepper&) = delete;
    Stepper& operator=(const Stepper&) = delete;
    ~Stepper();
    // Returns the number of steps made.
    std::int64_t run();

private:
    // The points of a list by plane: list[order[n]] for n in
    // [first[k], first[k + 1]) lie in plane k, in the list's order.
    struct ByPlane {
        std::vector<std::int64_t> order;
        std::vector<std::int64_t> first;
    };
    // A step in flight in the pipeline: step r of the call, whose planes
    // below `next` are done.
    struct Stage {
        std::int64_t r;
        int next;
        double* phase;  // its DFT phases
    };

    ByPlane by_plane(const std::vector<Point>& points) const;
    bool check_after(std::int64_t r) const;
    void dft_phases(std::int64_t r, double* out) const;
    void apply_sources(int k0, int k1, int half, std::int64_t r);
    void record(int k0, int k1, int half, std::int64_t r, const double* phase);
    void plane(int k, std::int64_t r, const double* phase, std::vector<LineAdd>& adds);
    bool ready(const Stage& s) const;
    void worker(int t);
    void pipeline(int t);
    void slabs(int t);
    void release(bool abort);

    Plan& plan_;
    const Sweeps& sweeps_;
    float* fields_;
    const StepIo& io_;
    ByPlane sources_, probes_, dft_;
    // The H sources of each plane by line, as plane_step applies them.
    ByPlane h_sources_;
    bool pipelined_ = false;
    int threads_ = 1;
    int in_flight_ = 1;  // stages per thread
    // Stage r's progress at [r % ring]: r (nz + 2) plus its planes done, plus
    // one more once a measuring step has decided whether the call goes on.
    std::unique_ptr<std::atomic<std::int64_t>[]> progress_;
    std::int64_t ring_ = 0;
    std::vector<double> phases_;         // ring x 4 nfreq
    std::vector<std::vector<LineAdd>> adds_;        // per thread
    std::vector<std::vector<double>> slab_phases_;  // per thread
    std::atomic<std::int64_t> end_{0};   // steps the call makes, less once stopped
    std::vector<double> plane_energy_;
    std::vector<std::thread> pool_;
    std::unique_ptr<Barrier> barrier_;
    std::mutex start_mutex_;
    std::condition_variable start_;
    bool go_ = false;
    bool abort_ = false;
    double peak_ = 0.0;
};

// The field energy over the time step (see plane_energy), planes summed in
// order, so the same for any thread count.
double energy(const Plan& plan, const float* fields, int threads);

}  // namespace yeestep
