// Exactness of the pruned wind speed search: on every kernel the CPU runs, its
// answer equals the in-order scan with the same SLEEF functions, bit for bit,
// on realistic scenes, on the whole input domain and on adversarial ties.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cmod5n/cmod5n.hpp"
#include "cmod5n/cmod5n_kernels.hpp"
#include "cmod5n/cmod5n_model.hpp"
#include "simd/sleef_scalar.hpp"
#include "tests/cpp/support/kernel_lists.hpp"
#include "tests/cpp/support/mismatch_report.hpp"
#include "tests/cpp/support/synthetic_scene.hpp"
#include "tests/cpp/support/worked_examples.hpp"

namespace {

using quorvane::cmod5n::SearchKernels;
using quorvane::support::availableSearchKernels;
using quorvane::support::MismatchReport;
using quorvane::support::sameBits;

using Input = quorvane::support::KernelInput;
using quorvane::support::domainInputs;
using quorvane::support::realisticInputs;

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
    MismatchReport report;
    for (std::int64_t i = 0; i < n; ++i) {
        report.compare(sameBits(got[i], want[i]), [&] {
            return testing::Message() << "input " << describe(inputs[i]) << ": search " << got[i] << ", scan "
                                      << want[i];
        });
    }
    report.expectNone();
}

std::vector<Input> tieInputs(const SearchKernels& k, std::size_t draws, std::uint64_t seed) {
    return quorvane::support::tieInputs(k.modelDb, draws, seed);
}

// Realistic, whole-domain and tie inputs for kernel k, from seeds seed,
// seed + 1 and seed + 2.
std::vector<Input> mixedInputs(const SearchKernels& k, std::size_t realistic, std::size_t domain,
                               std::size_t ties, std::uint64_t seed) {
    std::vector<Input> inputs = realisticInputs(realistic, seed);
    for (const Input& in : domainInputs(domain, seed + 1)) inputs.push_back(in);
    for (const Input& in : tieInputs(k, ties, seed + 2)) inputs.push_back(in);
    return inputs;
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
    for (const SearchKernels* k : availableSearchKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        expectSameAnswers(mixedInputs(*k, 8000, 5000, 3000, 11), k->search, k->scan);
    }
}

// The vector scan against the plain scalar definition with the scalar SLEEF
// functions of the kernel's family: ties the oracle above to the model.
TEST(FastSearch, SearchMatchesTheScalarSleefScan) {
    for (const SearchKernels* k : availableSearchKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        const std::vector<Input> inputs = mixedInputs(*k, 2000, 1000, 700, 21);
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
    for (const SearchKernels* k : availableSearchKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::mt19937_64 rng(84);
        MismatchReport report;
        for (const Input& in : mixedInputs(*k, 1500, 1500, 500, 81)) {
            const double want = k->scan(in.wind_dir, in.inc_angle, in.sigma0);
            const int answer = static_cast<int>(std::lround(want * 100.0));
            const int guesses[] = {kMin, -1, 0, 1, 7, 8, 9, 2592, 2593, 2600, 2601, 2602, kMax,
                                   answer - 300, answer - 40, answer - 9, answer - 5, answer - 4,
                                   answer - 1, answer, answer + 1, answer + 3, answer + 4,
                                   answer + 5, answer + 12, answer + 300,
                                   static_cast<int>(rng() % 2601)};
            for (const int guess : guesses) {
                const double got = k->searchFrom(in.wind_dir, in.inc_angle, in.sigma0, guess);
                report.compare(sameBits(got, want), [&] {
                    return testing::Message() << "input " << describe(in) << " guess " << guess << ": search "
                                              << got << ", scan " << want;
                });
            }
        }
        report.expectNone();
    }
}

// On realistic scenes the guess lands within a few candidates of the answer
// (otherwise the search is still exact, only slower).
TEST(FastSearch, GuessIsNearTheAnswerOnRealisticScenes) {
    for (const SearchKernels* k : availableSearchKernels()) {
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
    for (const SearchKernels* k : availableSearchKernels()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        for (const auto& e : quorvane::support::kWorkedExamples) {
            SCOPED_TRACE(testing::Message() << e.wind_dir << " " << e.inc_angle << " " << e.sigma0);
            const double sig = static_cast<float>(e.sigma0);
            EXPECT_EQ(k->search(e.wind_dir, e.inc_angle, sig), e.speed);
            EXPECT_EQ(k->scan(e.wind_dir, e.inc_angle, sig), e.speed);
        }
    }
}

}  // namespace
