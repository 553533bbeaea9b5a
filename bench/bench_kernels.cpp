// Speed of the wind speed retrieval and of the direction grid.
//
// Wind speed figures are per pixel of a synthetic realistic scene
// (tests/cpp/support/synthetic_scene.hpp): the counter ns_per_pixel is the time per pixel
// in nanoseconds (for the grids, wall time per pixel).
#include <benchmark/benchmark.h>
#include <immintrin.h>
#include <omp.h>

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "tests/cpp/support/synthetic_scene.hpp"
#include "cmod5n/cmod5n.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "era5/wind_angle.hpp"
#include "era5/wind_angle_kernels.hpp"
#include "grid/grid_view.hpp"
#include "tests/cpp/support/search_probes.hpp"

namespace {

// Sets the OpenMP team size for a benchmark and restores it afterwards.
class OpenMpThreads {
public:
    explicit OpenMpThreads(int threads) : before_(omp_get_max_threads()) { omp_set_num_threads(threads); }
    OpenMpThreads(const OpenMpThreads&) = delete;
    OpenMpThreads& operator=(const OpenMpThreads&) = delete;
    ~OpenMpThreads() { omp_set_num_threads(before_); }

private:
    int before_;
};

using quorvane::support::ScenePixel;

const std::vector<ScenePixel>& scene() {
    static const std::vector<ScenePixel> pixels = quorvane::support::realisticScene(1 << 18, 2024);
    return pixels;
}

void setPerPixel(benchmark::State& state, std::int64_t pixelsPerIteration) {
    state.SetItemsProcessed(state.iterations() * pixelsPerIteration);
    state.counters["ns_per_pixel"] = benchmark::Counter(
        static_cast<double>(pixelsPerIteration) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <class Kernel>
void runPerPixel(benchmark::State& state, Kernel kernel, std::int64_t pixels) {
    const auto& s = scene();
    std::int64_t next = 0;
    for (auto _ : state) {
        double sum = 0.0;
        for (std::int64_t k = 0; k < pixels; ++k) {
            const ScenePixel& p = s[static_cast<std::size_t>(next)];
            next = (next + 1) % static_cast<std::int64_t>(s.size());
            sum += kernel(p.wind_dir, p.inc_angle, p.sigma0);
        }
        benchmark::DoNotOptimize(sum);
    }
    setPerPixel(state, pixels);
}

// The straightforward scan with the C library's functions.
void BM_ReferenceScan(benchmark::State& state) {
    runPerPixel(state, quorvane::cmod5n::windspeedCmod5nReference, 200);
}
BENCHMARK(BM_ReferenceScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The in-order scan with vector SLEEF functions (the search's oracle).
void BM_VectorScan(benchmark::State& state) {
    runPerPixel(state, quorvane::support::activeSearchProbes().scan, 1000);
}
BENCHMARK(BM_VectorScan)->Unit(benchmark::kMillisecond);

// The per-pixel kernel, one thread.
void BM_PixelSearch(benchmark::State& state) {
    runPerPixel(state, quorvane::cmod5n::windspeedCmod5n, 20000);
}
BENCHMARK(BM_PixelSearch)->Unit(benchmark::kMillisecond);

// The pixels of a population as the many-pixel search takes them: the
// realistic scene, the whole input domain (NaN, infinities, any incidence,
// sigma0 from -400 to 400 dB) or adversarial ties (observations at a
// candidate's modelled value and one ulp either side).
struct Population {
    std::vector<double> dir, inc, sig;
};

const Population& population(int which) {
    static const std::array<Population, 4> populations = [] {
        constexpr std::size_t kPixels = 1 << 15;
        std::vector<quorvane::support::KernelInput> inputs[4];
        for (std::size_t k = 0; k < kPixels; ++k) {
            const ScenePixel& p = scene()[k];
            inputs[0].push_back({p.wind_dir, p.inc_angle, p.sigma0});
        }
        inputs[1] = quorvane::support::domainInputs(kPixels, 2024);
        inputs[2] = quorvane::support::tieInputs(quorvane::support::activeSearchProbes().modelDb, kPixels / 3, 2024);
        // The whole domain without its incidences past 90 degrees, where the
        // model is mostly NaN or -inf at every candidate (see BM_FastSearch).
        for (const auto& in : inputs[1]) {
            if (!(in.inc_angle > 90.0)) inputs[3].push_back(in);
        }
        std::array<Population, 4> out;
        for (int i = 0; i < 4; ++i) {
            for (const auto& in : inputs[i]) {
                out[i].dir.push_back(in.wind_dir);
                out[i].inc.push_back(in.inc_angle);
                out[i].sig.push_back(in.sigma0);
            }
        }
        return out;
    }();
    return populations[static_cast<std::size_t>(which)];
}

const char* const kPopulationNames[] = {"realistic", "whole domain", "adversarial ties",
                                         "whole domain, incidence at most 90 degrees"};

void runMany(benchmark::State& state, const quorvane::cmod5n::SearchKernels& k, const Population& p) {
    std::vector<double> out(p.dir.size());
    const auto n = static_cast<std::int64_t>(p.dir.size());
    for (auto _ : state) {
        k.searchMany(p.dir.data(), p.inc.data(), p.sig.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
    }
    setPerPixel(state, n);
}

// The production search (the many-pixel search the grid runs), one thread, on
// each population. Past 90 degrees of incidence (about a fifth of the whole
// domain) 10^(A1 v + A0) underflows while A3^gamma overflows: the model is
// NaN or -inf at most candidates, the bounds, whose products would overflow,
// exclude little, and such a pixel costs tens of microseconds.
void BM_FastSearch(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    state.SetLabel(kPopulationNames[which]);
    runMany(state, quorvane::cmod5n::activeSearchKernels(), population(which));
}
BENCHMARK(BM_FastSearch)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Each available instruction set's production search, one thread, realistic.
void BM_FastSearchIsa(benchmark::State& state) {
    const auto* k = quorvane::cmod5n::searchKernels(static_cast<quorvane::simd::Isa>(state.range(0)));
    if (k == nullptr) {
        state.SkipWithError("instruction set not supported here");
        return;
    }
    state.SetLabel(quorvane::simd::name(k->isa));
    runMany(state, *k, population(0));
}
BENCHMARK(BM_FastSearchIsa)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Grids.

struct FloatGrid {
    std::vector<float> values;
    quorvane::grid::GridView<float> view;
    FloatGrid(std::int64_t rows, std::int64_t columns) : values(rows * columns) {
        view.data = reinterpret_cast<char*>(values.data());
        view.extent[0] = rows;
        view.extent[1] = columns;
        view.stride[0] = columns * 4;
        view.stride[1] = 4;
    }
};

// The realistic scene as a 512 x 512 grid, wind speeds written to a float64 grid.
void BM_SpeedGrid(benchmark::State& state) {
    const std::int64_t rows = 512, columns = 512;
    FloatGrid dir(rows, columns), inc(rows, columns), sig(rows, columns);
    for (std::int64_t k = 0; k < rows * columns; ++k) {
        const ScenePixel& p = scene()[static_cast<std::size_t>(k) % scene().size()];
        dir.values[k] = p.wind_dir;
        inc.values[k] = p.inc_angle;
        sig.values[k] = p.sigma0;
    }
    std::vector<double> speed(rows * columns);
    quorvane::grid::GridView<double> out;
    out.data = reinterpret_cast<char*>(speed.data());
    out.extent[0] = rows;
    out.extent[1] = columns;
    out.stride[0] = columns * 8;
    out.stride[1] = 8;
    const int threads = static_cast<int>(state.range(0));
    {
        OpenMpThreads team(threads);
        for (auto _ : state) {
            quorvane::cmod5n::windspeedCmod5n_parallel(dir.view, inc.view, sig.view, out);
            benchmark::DoNotOptimize(speed.data());
        }
    }
    state.SetLabel(std::to_string(threads) + " thread(s)");
    setPerPixel(state, rows * columns);
}
BENCHMARK(BM_SpeedGrid)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// On machines with more than two processors, also one thread per processor.
[[maybe_unused]] const bool kSpeedGridAllProcessors = [] {
    const int processors = omp_get_num_procs();
    if (processors > 2) {
        benchmark::RegisterBenchmark("BM_SpeedGrid", BM_SpeedGrid)
            ->Arg(processors)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

// Direction grid and, for scale, a plain element-wise add over the same
// arrays with the same loop structure, both on one thread.
constexpr std::int64_t kAngleRows = 1024, kAngleColumns = 1024;

struct ComponentGrids {
    FloatGrid u{kAngleRows, kAngleColumns}, v{kAngleRows, kAngleColumns}, out{kAngleRows, kAngleColumns};
    ComponentGrids() {
        std::mt19937_64 rng(7);
        std::normal_distribution<float> wind(0.0f, 6.0f);
        for (auto& x : u.values) x = wind(rng);
        for (auto& x : v.values) x = wind(rng);
    }
};

// The direction grid over g on one thread.
void runDirectionGrid(benchmark::State& state, ComponentGrids& g) {
    OpenMpThreads team(1);
    for (auto _ : state) {
        quorvane::era5::ERA5_windAngle_parallel(g.u.view, g.v.view, g.out.view);
        benchmark::DoNotOptimize(g.out.values.data());
    }
}

void BM_DirectionGrid(benchmark::State& state) {
    ComponentGrids g;
    runDirectionGrid(state, g);
    setPerPixel(state, kAngleRows * kAngleColumns);
}
BENCHMARK(BM_DirectionGrid)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PlainAddGrid(benchmark::State& state) {
    ComponentGrids g;
    OpenMpThreads team(1);
    for (auto _ : state) {
        const quorvane::grid::GridView<float> u = g.u.view, v = g.v.view, out = g.out.view;
#pragma omp parallel for schedule(static)
        for (std::int64_t i = 0; i < u.rows(); ++i) {
            for (std::int64_t j = 0; j < u.columns(); ++j) {
                out.store(i, j, u.load(i, j) + v.load(i, j));
            }
        }
        benchmark::DoNotOptimize(g.out.values.data());
    }
    setPerPixel(state, kAngleRows * kAngleColumns);
}
BENCHMARK(BM_PlainAddGrid)->UseRealTime()->Unit(benchmark::kMillisecond);

// For scale: the same arrays with nothing but one double-precision division
// per pixel (float32 in and out, AVX-512, one thread), the least that any
// direction kernel dividing once per pixel in double can cost on this CPU.
[[gnu::target("avx512f")]] void divideAvx512(const float* u, const float* v, float* out, std::int64_t n) {
    for (std::int64_t j = 0; j + 8 <= n; j += 8) {
        const __m512d q = _mm512_div_pd(_mm512_cvtps_pd(_mm256_loadu_ps(u + j)),
                                        _mm512_cvtps_pd(_mm256_loadu_ps(v + j)));
        _mm256_storeu_ps(out + j, _mm512_cvtpd_ps(q));
    }
}

void BM_DivisionOnlyGrid(benchmark::State& state) {
    if (!__builtin_cpu_supports("avx512f")) {
        state.SkipWithError("needs AVX-512F");
        return;
    }
    ComponentGrids g;
    const std::int64_t n = kAngleRows * kAngleColumns;
    for (auto _ : state) {
        divideAvx512(g.u.values.data(), g.v.values.data(), g.out.values.data(), n);
        benchmark::DoNotOptimize(g.out.values.data());
    }
    setPerPixel(state, n);
}
BENCHMARK(BM_DivisionOnlyGrid)->UseRealTime()->Unit(benchmark::kMillisecond);

// A chain of dependent integer additions retires one per cycle, so its rate
// is the clock the benchmarks actually run at (the frequency the system
// reports is nominal). Counter GHz.
void BM_ClockEstimate(benchmark::State& state) {
    constexpr std::int64_t kAdds = 1 << 22;
    for (auto _ : state) {
        std::uint64_t x = 0;
        for (std::int64_t k = 0; k < kAdds; ++k) asm volatile("add $1, %0" : "+r"(x));
        benchmark::DoNotOptimize(x);
    }
    state.counters["GHz"] = benchmark::Counter(static_cast<double>(kAdds) * 1e-9,
                                               benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ClockEstimate)->UseRealTime()->Unit(benchmark::kMillisecond);

// Each available instruction set's direction rows over the same grid, one
// thread, no OpenMP region.
void BM_DirectionRowsIsa(benchmark::State& state) {
    const auto* k = quorvane::era5::windAngleKernels(static_cast<quorvane::simd::Isa>(state.range(0)));
    if (k == nullptr) {
        state.SkipWithError("instruction set not supported here");
        return;
    }
    ComponentGrids g;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < kAngleRows; ++i) k->row(g.u.view, g.v.view, g.out.view, i, kAngleColumns);
        benchmark::DoNotOptimize(g.out.values.data());
    }
    state.SetLabel(quorvane::simd::name(k->isa));
    setPerPixel(state, kAngleRows * kAngleColumns);
}
BENCHMARK(BM_DirectionRowsIsa)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// The direction grid, one thread, with the first state.range(0) percent of
// every row NaN in both components (a swath's corners on a regular grid).
void BM_DirectionGridWithNaNEdges(benchmark::State& state) {
    ComponentGrids g;
    const std::int64_t edge = kAngleColumns * state.range(0) / 100;
    for (std::int64_t i = 0; i < kAngleRows; ++i) {
        for (std::int64_t j = 0; j < edge; ++j) {
            g.u.values[i * kAngleColumns + j] = std::numeric_limits<float>::quiet_NaN();
            g.v.values[i * kAngleColumns + j] = std::numeric_limits<float>::quiet_NaN();
        }
    }
    runDirectionGrid(state, g);
    state.SetLabel(std::to_string(state.range(0)) + "% NaN");
    setPerPixel(state, kAngleRows * kAngleColumns);
}
BENCHMARK(BM_DirectionGridWithNaNEdges)->Arg(30)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
