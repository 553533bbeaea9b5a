// Exactness of the pruned wind speed search: on every kernel the CPU runs, its
// answer equals the in-order scan with the same SLEEF functions, bit for bit,
// on realistic scenes, on the whole input domain and on adversarial ties.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bench/synthetic_scene.hpp"
#include "cmod5n/cmod5n.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "simd/sleef_scalar.hpp"

namespace {

using quorvane::simd::Isa;
using quorvane::cmod5n::SearchKernels;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Input = quorvane::bench::KernelInput;
using quorvane::bench::domainInputs;
using quorvane::bench::realisticInputs;

std::vector<const SearchKernels*> availableKernels() {
    std::vector<const SearchKernels*> kernels;
    for (const Isa isa : quorvane::simd::kAllIsas) {
        if (const SearchKernels* k = quorvane::cmod5n::searchKernels(isa)) kernels.push_back(k);
    }
    return kernels;
}

std::string describe(const Input& in) {
    char text[160];
    std::snprintf(text, sizeof text, "(%a, %a, %a)", in.wind_dir, in.inc_angle, in.sigma0);
    return text;
}

// Runs fast and oracle on every input (on all OpenMP threads) and expects the
// same bits; reports the first few differences.
template <class Fast, class Oracle>
void expectSameAnswers(const std::vector<Input>& inputs, Fast fast, Oracle oracle) {
    const std::int64_t n = static_cast<std::int64_t>(inputs.size());
    std::vector<double> got(inputs.size()), want(inputs.size());
#pragma omp parallel for schedule(dynamic, 256)
    for (std::int64_t i = 0; i < n; ++i) {
        got[i] = fast(inputs[i].wind_dir, inputs[i].inc_angle, inputs[i].sigma0);
        want[i] = oracle(inputs[i].wind_dir, inputs[i].inc_angle, inputs[i].sigma0);
    }
    int reported = 0;
    std::int64_t mismatches = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        if (std::bit_cast<std::uint64_t>(got[i]) == std::bit_cast<std::uint64_t>(want[i])) continue;
        ++mismatches;
        if (reported++ < 5) {
            ADD_FAILURE() << "input " << describe(inputs[i]) << ": search " << got[i] << ", scan "
                          << want[i];
        }
    }
    EXPECT_EQ(mismatches, 0) << "of " << n << " inputs";
}

std::vector<Input> tieInputs(const SearchKernels& k, std::size_t draws, std::uint64_t seed) {
    return quorvane::bench::tieInputs(k.modelDb, draws, seed);
}

const SearchKernels& active() { return quorvane::cmod5n::activeSearchKernels(); }

// The production kernel: one million pixels per run in these three tests.

TEST(FastSearch, RealisticScenesMatchTheScan) {
    expectSameAnswers(realisticInputs(400000, 1), active().search, active().scan);
}

TEST(FastSearch, WholeDomainMatchesTheScan) {
    expectSameAnswers(domainInputs(300000, 2), active().search, active().scan);
}

TEST(FastSearch, AdversarialTiesMatchTheScan) {
    expectSameAnswers(tieInputs(active(), 100000, 3), active().search, active().scan);
}

// The other kernels this CPU runs, on fewer pixels.
TEST(FastSearch, EveryKernelMatchesItsScan) {
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::vector<Input> inputs = realisticInputs(8000, 11);
        for (const Input& in : domainInputs(5000, 12)) inputs.push_back(in);
        for (const Input& in : tieInputs(*k, 3000, 13)) inputs.push_back(in);
        expectSameAnswers(inputs, k->search, k->scan);
    }
}

// The vector scan against the plain scalar definition with the scalar SLEEF
// functions of the kernel's family: ties the oracle above to the model.
TEST(FastSearch, SearchMatchesTheScalarSleefScan) {
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::vector<Input> inputs = realisticInputs(2000, 21);
        for (const Input& in : domainInputs(1000, 22)) inputs.push_back(in);
        for (const Input& in : tieInputs(*k, 700, 23)) inputs.push_back(in);
        if (quorvane::simd::usesFma(k->isa)) {
            expectSameAnswers(inputs, k->search,
                              quorvane::cmod5n::windspeedLinearScan<quorvane::simd::SleefScalarMath<true>>);
        } else {
            expectSameAnswers(inputs, k->search,
                              quorvane::cmod5n::windspeedLinearScan<quorvane::simd::SleefScalarMath<false>>);
        }
    }
}

// The search starts where a guess puts the answer; a wrong guess may cost
// time but never changes the answer. Guesses far too low and far too high, a
// few candidates off either side, at the ladder's ends, and out of its range.
TEST(FastSearch, AnyGuessGivesTheScanAnswer) {
    constexpr int kMin = std::numeric_limits<int>::min(), kMax = std::numeric_limits<int>::max();
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::vector<Input> inputs = realisticInputs(1500, 81);
        for (const Input& in : domainInputs(1500, 82)) inputs.push_back(in);
        for (const Input& in : tieInputs(*k, 500, 83)) inputs.push_back(in);
        std::mt19937_64 rng(84);
        std::int64_t compared = 0, mismatches = 0;
        for (const Input& in : inputs) {
            const double want = k->scan(in.wind_dir, in.inc_angle, in.sigma0);
            const int answer = static_cast<int>(std::lround(want * 100.0));
            const int guesses[] = {kMin, -1, 0, 1, 7, 8, 9, 2592, 2593, 2600, 2601, 2602, kMax,
                                   answer - 300, answer - 40, answer - 9, answer - 5, answer - 4,
                                   answer - 1, answer, answer + 1, answer + 3, answer + 4,
                                   answer + 5, answer + 12, answer + 300,
                                   static_cast<int>(rng() % 2601)};
            for (const int guess : guesses) {
                const double got = k->searchFrom(in.wind_dir, in.inc_angle, in.sigma0, guess);
                ++compared;
                if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(want) &&
                    mismatches++ < 5) {
                    ADD_FAILURE() << "input " << describe(in) << " guess " << guess << ": search "
                                  << got << ", scan " << want;
                }
            }
        }
        EXPECT_EQ(mismatches, 0) << "of " << compared << " searches";
    }
}

// On realistic scenes the guess lands within a few candidates of the answer
// (otherwise the search is still exact, only slower).
TEST(FastSearch, GuessIsNearTheAnswerOnRealisticScenes) {
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        int near = 0, total = 0;
        for (const Input& in : realisticInputs(5000, 85)) {
            const int guess = k->guess(in.wind_dir, in.inc_angle, in.sigma0);
            const double want = k->scan(in.wind_dir, in.inc_angle, in.sigma0);
            const int answer = want == 26.0 ? 2601 : static_cast<int>(std::lround(want * 100.0));
            ++total;
            if (guess >= 0 && std::abs(guess - answer) <= 3) ++near;
        }
        EXPECT_GT(near, total * 95 / 100) << near << " of " << total;
    }
}

TEST(FastSearch, ProductionEntriesUseTheActiveKernel) {
    std::vector<Input> inputs = realisticInputs(500, 31);
    for (const Input& in : domainInputs(500, 32)) inputs.push_back(in);
    expectSameAnswers(inputs, quorvane::cmod5n::windspeedCmod5n, active().search);
    expectSameAnswers(inputs, quorvane::cmod5n::windspeedCmod5nSleefScan, active().search);
}

// The worked examples of the kernel (inputs exact in float32), on every
// kernel's search and scan.
TEST(FastSearch, WorkedExamplesOnEveryKernel) {
    const struct {
        double dir, inc, sig, speed;
    } rows[] = {
        {0, 30, -10, 8.15},     {0, 40, -10, 14.19},   {90, 35, -20, 3.92},
        {180, 25, -5, 10.58},   {45, 16, 0, 3.61},     {-45, 16, 0, 3.61},
        {0, 10, -5, 0.39},      {0, 16, -5, 0.39},     {0, 16.5, -5, 0.59},
        {0, 60, -15, 12.83},    {0, 30, -25.25, 0.5700000000000001},
        {0, 60, -40, 0.0},      {0, 30, -200, 0.01},   {0, 30, 50, 26.0},
        {0, 90, -20, 26.0},     {0, 30, kNaN, 26.0},   {0, 30, -kInf, 0.01},
        {0, 60, -kInf, 0.0},    {0, 30, kInf, 26.0},
    };
    for (const SearchKernels* k : availableKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        for (const auto& r : rows) {
            const double sig = static_cast<float>(r.sig);
            EXPECT_EQ(k->search(r.dir, r.inc, sig), r.speed) << r.dir << " " << r.inc << " " << r.sig;
            EXPECT_EQ(k->scan(r.dir, r.inc, sig), r.speed) << r.dir << " " << r.inc << " " << r.sig;
        }
    }
}

}  // namespace
