// Long exactness run of the production wind speed kernel.
//
//   bench_exactness [pixels [seed [reference_every [isa]]]]
//                                  (default 1000000 pixels, seed 1, 1, the widest)
//
// Inputs are drawn in chunks: half realistic scenes, a quarter the whole input
// domain, a quarter adversarial ties. For every input the production search
// (the many-pixel search the grid runs) must equal the in-order SLEEF scan
// bit for bit. It is also compared with the
// C-library reference kernel: every difference must be a near tie, i.e. at the
// first candidate where the two disagree the two libraries' modelled values
// straddle the observation, both within 1e-9 dB of it. The reference costs
// about three times the scan, so a long run may compare it on every n-th
// pixel only (reference_every = n); the scan is compared on every pixel.
// Exit status 0 when both hold for every input.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/cpp/support/synthetic_scene.hpp"
#include "cmod5n/cmod5n.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "simd/cpu_features.hpp"
#include "tests/cpp/support/search_probes.hpp"

namespace {

using quorvane::support::KernelInput;
namespace cm = quorvane::cmod5n;

constexpr double kNearTieDb = 1e-9;

int ladderIndex(double speed) { return static_cast<int>(std::lround(speed * 100.0)); }

// Whether fast and reference differ only through a near tie at the earlier of
// the two answers (26.0 can mean "none", which is never the earlier one).
bool isNearTie(const KernelInput& in, double fast, double reference) {
    const int k = std::min(ladderIndex(fast), ladderIndex(reference));
    if (k >= cm::kLadderLast) return false;
    double sleefDb;
    quorvane::support::activeSearchProbes().modelDb(in.wind_dir, in.inc_angle, &k, &sleefDb, 1);
    const cm::Geometry geo = cm::makeGeometry<cm::LibmMath>(in.wind_dir, in.inc_angle);
    const double libmDb = cm::sigma0Cmod5n<cm::LibmMath>(geo, cm::ladderSpeed(k));
    const bool sleefQualifies = sleefDb - in.sigma0 >= 0.0;
    const bool libmQualifies = libmDb - in.sigma0 >= 0.0;
    return sleefQualifies != libmQualifies && std::fabs(sleefDb - in.sigma0) <= kNearTieDb &&
           std::fabs(libmDb - in.sigma0) <= kNearTieDb;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t total = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const std::int64_t referenceEvery = argc > 3 ? std::max(1LL, std::atoll(argv[3])) : 1;
    quorvane::simd::Isa isa;
    if (argc > 4 && !(quorvane::simd::isaNamed(argv[4], isa) && quorvane::simd::pin(isa))) {
        std::fprintf(stderr, "bench_exactness: this CPU runs no instruction set named '%s'\n", argv[4]);
        return 2;
    }
    const auto& probes = quorvane::support::activeSearchProbes();
    const auto& kernels = *probes.kernels;
    std::printf("kernel %s, %lld pixels, seed %llu, %d threads, reference on 1 in %lld pixels\n",
                quorvane::simd::name(kernels.isa), static_cast<long long>(total),
                static_cast<unsigned long long>(seed), omp_get_max_threads(),
                static_cast<long long>(referenceEvery));

    constexpr std::int64_t kChunk = 100000;
    std::int64_t done = 0, searchMismatches = 0, referenceDiffers = 0, notNearTie = 0;
    std::int64_t referenced = 0;
    for (std::uint64_t chunk = 0; done < total; ++chunk) {
        const std::int64_t n = std::min(kChunk, total - done);
        const std::uint64_t s = seed * 1000003 + chunk;
        std::vector<KernelInput> inputs = quorvane::support::realisticInputs(n / 2, s);
        for (const auto& in : quorvane::support::domainInputs(n / 4, s)) inputs.push_back(in);
        const std::int64_t draws = (n - static_cast<std::int64_t>(inputs.size())) / 3;
        for (const auto& in : quorvane::support::tieInputs(probes.modelDb, draws, s)) {
            inputs.push_back(in);
        }
        while (static_cast<std::int64_t>(inputs.size()) < n) inputs.push_back(inputs.back());

        // The production search, as the grid runs it: many pixels at a time.
        std::vector<double> dir(n), inc(n), sig(n), speeds(n);
        for (std::int64_t i = 0; i < n; ++i) {
            dir[i] = inputs[i].wind_dir;
            inc[i] = inputs[i].inc_angle;
            sig[i] = inputs[i].sigma0;
        }
        constexpr std::int64_t kBatch = 64;
#pragma omp parallel for schedule(dynamic, 1)
        for (std::int64_t i = 0; i < n; i += kBatch) {
            kernels.searchMany(dir.data() + i, inc.data() + i, sig.data() + i, speeds.data() + i,
                               std::min(kBatch, n - i));
        }
        std::int64_t mismatches = 0, differs = 0, bad = 0, compared = 0;
#pragma omp parallel for schedule(dynamic, 64) reduction(+ : mismatches, differs, bad, compared)
        for (std::int64_t i = 0; i < n; ++i) {
            const KernelInput& in = inputs[i];
            const double fast = speeds[i];
            const double scan = probes.scan(in.wind_dir, in.inc_angle, in.sigma0);
            if (fast != scan) {
                ++mismatches;
#pragma omp critical
                std::printf("MISMATCH search %.17g scan %.17g at (%a, %a, %a)\n", fast, scan,
                            in.wind_dir, in.inc_angle, in.sigma0);
            }
            // Every n-th pixel of the whole run, whichever chunk it falls in.
            if ((done + i) % referenceEvery != 0) continue;
            ++compared;
            const double reference = quorvane::cmod5n::windspeedCmod5nReference(in.wind_dir, in.inc_angle, in.sigma0);
            if (fast != reference) {
                ++differs;
                if (!isNearTie(in, fast, reference)) {
                    ++bad;
#pragma omp critical
                    std::printf("NOT A NEAR TIE: search %.17g reference %.17g at (%a, %a, %a)\n",
                                fast, reference, in.wind_dir, in.inc_angle, in.sigma0);
                }
            }
        }
        searchMismatches += mismatches;
        referenceDiffers += differs;
        notNearTie += bad;
        referenced += compared;
        done += n;
        std::printf("%lld pixels: search != scan %lld; of %lld compared with the reference %lld differ "
                    "(not near ties %lld)\n",
                    static_cast<long long>(done), static_cast<long long>(searchMismatches),
                    static_cast<long long>(referenced), static_cast<long long>(referenceDiffers),
                    static_cast<long long>(notNearTie));
        std::fflush(stdout);
    }
    const bool ok = searchMismatches == 0 && notNearTie == 0;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
