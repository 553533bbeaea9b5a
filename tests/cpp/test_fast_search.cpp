// Exactness of the pruned wind speed search: on every kernel the CPU runs, its
// answer equals the in-order scan with the same SLEEF functions, bit for bit,
// on realistic scenes, on the whole input domain and on adversarial ties.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "era5/wind_angle_kernels.hpp"
#include "simd/sleef_scalar.hpp"
#include "tests/cpp/support/kernel_lists.hpp"
#include "tests/cpp/support/mismatch_report.hpp"
#include "tests/cpp/support/synthetic_scene.hpp"
#include "tests/cpp/support/worked_examples.hpp"

namespace {

using quorvane::support::availableSearchProbes;
using quorvane::support::SearchProbes;
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

// The pixel search f(wind_dir, inc_angle, sigma0) over n inputs.
template <class PixelSearch>
auto perPixel(PixelSearch f) {
    return [f](const Input* in, const int*, double* out, int n) {
        for (int i = 0; i < n; ++i) out[i] = f(in[i].wind_dir, in[i].inc_angle, in[i].sigma0);
    };
}

// Kernel k's many-pixel search over n inputs, with the given guesses if any.
auto manyPixels(const SearchProbes& k) {
    return [&k](const Input* in, const int* guess, double* out, int n) {
        std::vector<double> dir(n), inc(n), sig(n);
        for (int i = 0; i < n; ++i) {
            dir[i] = in[i].wind_dir;
            inc[i] = in[i].inc_angle;
            sig[i] = in[i].sigma0;
        }
        if (guess) {
            k.searchManyFrom(dir.data(), inc.data(), sig.data(), guess, out, n);
        } else {
            k.kernels->searchMany(dir.data(), inc.data(), sig.data(), out, n);
        }
    };
}

constexpr std::int64_t kChunk = 203;  // not a multiple of any vector width

// fast over every input in chunks (with guesses[i] for input i when given),
// on all OpenMP threads.
template <class Fast>
std::vector<double> answers(const std::vector<Input>& inputs, Fast fast, const std::vector<int>& guesses = {}) {
    const std::int64_t n = static_cast<std::int64_t>(inputs.size());
    std::vector<double> got(inputs.size());
#pragma omp parallel for schedule(dynamic, 1)
    for (std::int64_t c = 0; c < n; c += kChunk) {
        const int m = static_cast<int>(std::min(kChunk, n - c));
        fast(inputs.data() + c, guesses.empty() ? nullptr : guesses.data() + c, got.data() + c, m);
    }
    return got;
}

// Expects got[i] and want[i] to have the same bits; reports the first few
// differences.
void expectSame(const std::vector<Input>& inputs, const std::vector<double>& got, const std::vector<double>& want,
                const std::vector<int>& guesses = {}) {
    MismatchReport report;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        report.compare(sameBits(got[i], want[i]), [&] {
            return testing::Message() << "input " << describe(inputs[i])
                                      << (guesses.empty() ? "" : " guess " + std::to_string(guesses[i]))
                                      << ": search " << got[i] << ", scan " << want[i];
        });
    }
    report.expectNone();
}

// Runs fast and the pixel function oracle on every input and expects the
// same bits.
template <class Fast, class Oracle>
void expectSameAnswers(const std::vector<Input>& inputs, Fast fast, Oracle oracle) {
    expectSame(inputs, answers(inputs, fast), answers(inputs, perPixel(oracle)));
}

std::vector<Input> tieInputs(const SearchProbes& k, std::size_t draws, std::uint64_t seed) {
    return quorvane::support::tieInputs(k.modelDb, draws, seed);
}

// Realistic, whole-domain and tie inputs for kernel k, from seeds seed,
// seed + 1 and seed + 2.
std::vector<Input> mixedInputs(const SearchProbes& k, std::size_t realistic, std::size_t domain,
                               std::size_t ties, std::uint64_t seed) {
    std::vector<Input> inputs = realisticInputs(realistic, seed);
    for (const Input& in : domainInputs(domain, seed + 1)) inputs.push_back(in);
    for (const Input& in : tieInputs(k, ties, seed + 2)) inputs.push_back(in);
    return inputs;
}

const SearchProbes& active() { return quorvane::support::activeSearchProbes(); }

// The production kernel, through its many-pixel search as the grid runs it:
// one million pixels per run in these three tests.

TEST(FastSearch, RealisticScenesMatchTheScan) {
    expectSameAnswers(realisticInputs(400000, 1), manyPixels(active()), active().scan);
}

TEST(FastSearch, WholeDomainMatchesTheScan) {
    expectSameAnswers(domainInputs(300000, 2), manyPixels(active()), active().scan);
}

TEST(FastSearch, AdversarialTiesMatchTheScan) {
    expectSameAnswers(tieInputs(active(), 100000, 3), manyPixels(active()), active().scan);
}

// The other kernels this CPU runs, on fewer pixels.
TEST(FastSearch, EveryKernelMatchesItsScan) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        const std::vector<Input> inputs = mixedInputs(*k, 8000, 5000, 3000, 11);
        expectSameAnswers(inputs, perPixel(k->kernels->search), k->scan);
        expectSameAnswers(inputs, manyPixels(*k), k->scan);
    }
}

// The vector scan against the plain scalar definition with the scalar SLEEF
// functions of the kernel's family: ties the oracle above to the model.
TEST(FastSearch, SearchMatchesTheScalarSleefScan) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        const std::vector<Input> inputs = mixedInputs(*k, 2000, 1000, 700, 21);
        if (quorvane::simd::usesFma(k->isa)) {
            expectSameAnswers(inputs, perPixel(k->kernels->search),
                              quorvane::cmod5n::windspeedLinearScan<quorvane::simd::SleefScalarMath<true>>);
        } else {
            expectSameAnswers(inputs, perPixel(k->kernels->search),
                              quorvane::cmod5n::windspeedLinearScan<quorvane::simd::SleefScalarMath<false>>);
        }
    }
}

// The search starts where a guess puts the answer; a wrong guess may cost
// time but never changes the answer. Guesses far too low and far too high, a
// few candidates off either side, at the ladder's ends, and out of its range;
// for the pixel search and for the many-pixel search, whose lanes then take
// every way out of the proof (a bound that fails, a candidate that does not
// qualify, a guess off the ladder) beside lanes that pass it.
TEST(FastSearch, AnyGuessGivesTheScanAnswer) {
    constexpr int kMin = std::numeric_limits<int>::min(), kMax = std::numeric_limits<int>::max();
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::mt19937_64 rng(84);
        std::vector<Input> inputs;
        std::vector<int> guesses;
        std::vector<double> want;
        for (const Input& in : mixedInputs(*k, 1500, 1500, 500, 81)) {
            const double scan = k->scan(in.wind_dir, in.inc_angle, in.sigma0);
            const int answer = static_cast<int>(std::lround(scan * 100.0));
            for (const int guess : {kMin, -1, 0, 1, 7, 8, 9, 2592, 2593, 2600, 2601, 2602, kMax,
                                    answer - 300, answer - 40, answer - 9, answer - 5, answer - 4,
                                    answer - 1, answer, answer + 1, answer + 3, answer + 4,
                                    answer + 5, answer + 12, answer + 300, static_cast<int>(rng() % 2601)}) {
                inputs.push_back(in);
                guesses.push_back(guess);
                want.push_back(scan);
            }
        }
        auto pixelFrom = [k](const Input* in, const int* guess, double* out, int n) {
            for (int i = 0; i < n; ++i) out[i] = k->searchFrom(in[i].wind_dir, in[i].inc_angle, in[i].sigma0, guess[i]);
        };
        expectSame(inputs, answers(inputs, pixelFrom, guesses), want, guesses);
        // The lanes meet the guesses in another order too: inputs, answers and
        // guesses shuffled alike, within runs of 27.
        for (std::size_t i = 0; i + 1 < inputs.size(); ++i) {
            const std::size_t j = i + rng() % std::min<std::size_t>(27, inputs.size() - i);
            std::swap(inputs[i], inputs[j]);
            std::swap(want[i], want[j]);
            std::swap(guesses[i], guesses[j]);
        }
        expectSame(inputs, answers(inputs, manyPixels(*k), guesses), want, guesses);
    }
}

// On realistic scenes the guess is the answer itself for nearly every pixel
// (otherwise the search is still exact, only slower).
TEST(FastSearch, GuessIsTheAnswerOnRealisticScenes) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        int exact = 0, total = 0;
        for (const Input& in : realisticInputs(5000, 85)) {
            const int guess = k->guess(in.wind_dir, in.inc_angle, in.sigma0);
            const double want = k->scan(in.wind_dir, in.inc_angle, in.sigma0);
            const int answer = want == 26.0 ? 2601 : static_cast<int>(std::lround(want * 100.0));
            ++total;
            exact += guess == answer;
        }
        EXPECT_GT(exact, total * 99 / 100) << exact << " of " << total;
    }
}

// The production entries run the active kernels, which the pin chooses among
// those this CPU runs; it refuses any other and then changes nothing. Near
// ties tell the families apart: the FMA family's ties are answered
// differently by the SSE2 kernels at some pixels.
TEST(FastSearch, ProductionEntriesUseThePinnedKernel) {
    namespace simd = quorvane::simd;
    const simd::Isa initial = simd::active();
    std::vector<Input> inputs = realisticInputs(300, 31);
    for (const Input& in : domainInputs(200, 32)) inputs.push_back(in);
    for (const SearchProbes* k : availableSearchProbes()) {
        for (const Input& in : tieInputs(*k, 300, 33)) inputs.push_back(in);
    }
    std::vector<std::vector<double>> answersOf;
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(simd::name(k->isa));
        ASSERT_TRUE(simd::pin(k->isa));
        EXPECT_EQ(simd::active(), k->isa);
        EXPECT_EQ(quorvane::cmod5n::activeSearchKernels().isa, k->isa);
        EXPECT_EQ(quorvane::era5::activeWindAngleKernels().isa, k->isa);
        expectSameAnswers(inputs, perPixel(quorvane::cmod5n::windspeedCmod5n), k->scan);
        expectSameAnswers(inputs, perPixel(quorvane::cmod5n::windspeedCmod5nSleefScan), k->scan);
        answersOf.push_back(answers(inputs, perPixel(quorvane::cmod5n::windspeedCmod5n)));
    }
    if (simd::supports(simd::Isa::Avx2)) {
        int differ = 0;
        for (std::size_t i = 0; i < inputs.size(); ++i) differ += !sameBits(answersOf[0][i], answersOf[1][i]);
        EXPECT_GT(differ, 0) << "no tie told SSE2 and AVX2 apart";
    }
    for (const simd::Isa isa : simd::kAllIsas) {
        if (simd::supports(isa)) continue;
        const simd::Isa before = simd::active();
        EXPECT_FALSE(simd::pin(isa)) << simd::name(isa);
        EXPECT_EQ(simd::active(), before);
    }
    simd::pin(initial);
}

// The worked examples of the kernel (inputs exact in float32), on every
// kernel's search and scan.
TEST(FastSearch, WorkedExamplesOnEveryKernel) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        for (const auto& e : quorvane::support::kWorkedExamples) {
            SCOPED_TRACE(testing::Message() << e.wind_dir << " " << e.inc_angle << " " << e.sigma0);
            const double sig = static_cast<float>(e.sigma0);
            EXPECT_EQ(k->kernels->search(e.wind_dir, e.inc_angle, sig), e.speed);
            EXPECT_EQ(k->scan(e.wind_dir, e.inc_angle, sig), e.speed);
        }
    }
}

}  // namespace
