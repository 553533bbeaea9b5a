// The pieces the exact search rests on: the vector model gives the scalar
// SLEEF model's bits, and block and candidate bounds enclose every candidate
// they cover.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cmod5n/cmod5n_model.hpp"
#include "simd/sleef_scalar.hpp"
#include "tests/cpp/support/kernel_lists.hpp"
#include "tests/cpp/support/mismatch_report.hpp"

namespace {

using quorvane::support::availableSearchProbes;
using quorvane::support::SearchProbes;
using quorvane::support::MismatchReport;
namespace cm = quorvane::cmod5n;

constexpr double kInf = std::numeric_limits<double>::infinity();

template <bool Fma>
double scalarModel(double dir, double inc, int index) {
    using Math = quorvane::simd::SleefScalarMath<Fma>;
    return cm::sigma0Cmod5n<Math>(cm::makeGeometry<Math>(dir, inc), cm::ladderSpeed(index));
}

// Geometries over the whole domain, each with every tenth candidate plus a
// random run of consecutive ones.
TEST(FastModel, VectorModelGivesTheScalarSleefBits) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        const bool fma = quorvane::simd::usesFma(k->isa);
        std::mt19937_64 rng(41);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        MismatchReport report;
        for (int g = 0; g < 1500; ++g) {
            const double dir = -720.0 + 1440.0 * unit(rng);
            const double inc = g % 3 == 0 ? -1000.0 + 2000.0 * unit(rng) : 10.0 + 90.0 * unit(rng);
            std::vector<int> index;
            for (int i = g % 10; i <= cm::kLadderLast; i += 10) index.push_back(i);
            const int start = static_cast<int>(unit(rng) * 2500.0);
            for (int i = start; i < start + 40; ++i) index.push_back(i);
            std::vector<double> got(index.size());
            k->modelDb(dir, inc, index.data(), got.data(), static_cast<int>(index.size()));
            for (std::size_t j = 0; j < index.size(); ++j) {
                const double want = fma ? scalarModel<true>(dir, inc, index[j])
                                        : scalarModel<false>(dir, inc, index[j]);
                // A NaN modelled value never qualifies, whatever its bits.
                report.compare(quorvane::support::sameValue(got[j], want), [&] {
                    return testing::Message() << "dir " << dir << " inc " << inc << " candidate " << index[j]
                                              << ": vector " << got[j] << ", scalar " << want;
                });
            }
        }
        report.expectNone();
    }
}

// A block's bounds (in dB) lie at or above the modelled value of each of its
// candidates: the bound from the block's ends, the one from its last
// candidate and the model's slope, and for the candidates from 0 to the
// block's end the cheaper one from bounds of the base's terms over the whole
// ladder. Geometries cover the domain; blocks are of
// every size the searches use and more, anywhere on the ladder. The slope's
// bound is as tight as its last candidate's for most realistic blocks, however
// wide (the model rises there), which is what lets the search skip them.
TEST(FastModel, BlockBoundsLieAboveEveryCandidate) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::mt19937_64 rng(43);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        int finiteBounds = 0, finiteSloped = 0, finiteFromZero = 0, realisticSloped = 0, tightSloped = 0;
        MismatchReport violations;
        std::vector<int> index(cm::kLadderLast + 1);
        std::vector<double> db(cm::kLadderLast + 1);
        for (int g = 0; g < 600; ++g) {
            const bool realistic = g % 4 != 0;
            const double dir = -180.0 + 360.0 * unit(rng);
            const double inc = realistic ? 16.0 + 74.0 * unit(rng) : -1000.0 + 2000.0 * unit(rng);
            for (int i = 0; i <= cm::kLadderLast; ++i) index[i] = i;
            k->modelDb(dir, inc, index.data(), db.data(), cm::kLadderLast + 1);
            for (int b = 0; b < 12; ++b) {
                const int size = 2 << static_cast<int>(unit(rng) * 11.0);  // 2 .. 4096
                const int lo = static_cast<int>(unit(rng) * (cm::kLadderLast + 1));
                const int hi = std::min(lo + size - 1, cm::kLadderLast);
                const double block = k->blockUpperDb(dir, inc, lo, hi);
                const double sloped = k->slopedUpperDb(dir, inc, lo, hi);
                const double fromZero = k->zeroUpperDb(dir, inc, hi);
                finiteBounds += std::isfinite(block);
                finiteSloped += std::isfinite(sloped);
                finiteFromZero += std::isfinite(fromZero);
                if (realistic && inc < 60.0 && hi > 100) {
                    ++realisticSloped;
                    tightSloped += sloped - db[hi] < 1e-6;
                }
                for (int i = 0; i <= hi; ++i) {
                    const double bounds[] = {fromZero, i >= lo ? block : NAN, i >= lo ? sloped : NAN};
                    for (const double bound : bounds) {
                        if (std::isnan(bound)) continue;
                        violations.compare(!(db[i] > bound + 1e-9 * (1.0 + std::fabs(bound))), [&] {
                            return testing::Message() << "dir " << dir << " inc " << inc << " block " << lo
                                                      << ".." << hi << ": candidate " << i << " at " << db[i]
                                                      << " dB above the bound " << bound;
                        });
                    }
                }
            }
        }
        violations.expectNone();
        // Most realistic geometries have finite bounds; otherwise nothing was tested.
        EXPECT_GT(finiteBounds, 4000);
        EXPECT_GT(finiteSloped, 4000);
        EXPECT_GT(finiteFromZero, 4000);
        EXPECT_GT(tightSloped, realisticSloped * 8 / 10) << tightSloped << " of " << realisticSloped;
    }
}

// The bounds at single candidates enclose the modelled value (the search
// takes a candidate as qualifying when its lower bound clears the
// observation, and excludes it when its upper bound stays below). Geometries
// over the domain, every candidate of the ladder; and the bounds are usually
// finite and tight for realistic geometries.
TEST(FastModel, CandidateBoundsEncloseTheModel) {
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        std::mt19937_64 rng(45);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::int64_t finite = 0, tight = 0;
        MismatchReport violations;
        std::vector<int> index(cm::kLadderLast + 1);
        for (int i = 0; i <= cm::kLadderLast; ++i) index[i] = i;
        std::vector<double> db(index.size()), low(index.size()), high(index.size());
        for (int g = 0; g < 400; ++g) {
            const double dir = g % 50 == 0 ? 0.0 : -720.0 + 1440.0 * unit(rng);
            const double inc = g % 4 == 0 ? -1000.0 + 2000.0 * unit(rng) : 10.0 + 80.0 * unit(rng);
            const int n = static_cast<int>(index.size());
            k->modelDb(dir, inc, index.data(), db.data(), n);
            k->candidateRangeDb(dir, inc, index.data(), low.data(), high.data(), n);
            for (int i = 0; i < n; ++i) {
                const double slack = 1e-9 * (1.0 + std::fabs(db[i]));
                // A NaN model value never qualifies: only an upper bound of -inf
                // or no finite lower bound is allowed there.
                const bool ok = std::isnan(db[i])
                                    ? !(low[i] > -kInf)
                                    : ((low[i] <= db[i] || low[i] <= db[i] + slack) &&
                                       (db[i] <= high[i] || db[i] <= high[i] + slack));
                violations.compare(ok, [&] {
                    return testing::Message() << "dir " << dir << " inc " << inc << " candidate " << i << ": "
                                              << db[i] << " dB outside [" << low[i] << ", " << high[i] << "]";
                });
                if (std::isfinite(low[i]) && std::isfinite(high[i])) {
                    ++finite;
                    if (high[i] - low[i] < 1e-8) ++tight;
                }
            }
        }
        violations.expectNone();
        EXPECT_GT(finite, violations.compared() / 2);
        EXPECT_GT(tight, finite * 99 / 100);
    }
}

// A bound is close to the values it covers for a short block: within a few
// candidate steps (about 0.01 dB each at these speeds), which the search needs
// to skip the block just before the answer.
TEST(FastModel, ShortBlockBoundsAreTight) {
    const SearchProbes& k = quorvane::support::activeSearchProbes();
    for (const double dir : {0.0, 45.0, 90.0, 135.0, 180.0}) {
        for (const double inc : {20.0, 30.0, 40.0, 50.0}) {
            for (const int lo : {300, 700, 1200}) {
                int index[8];
                double db[8];
                for (int i = 0; i < 8; ++i) index[i] = lo + i;
                k.modelDb(dir, inc, index, db, 8);
                const double bound = k.blockUpperDb(dir, inc, lo, lo + 7);
                EXPECT_GE(bound, db[7]);
                EXPECT_LT(bound - db[7], 0.1) << dir << " " << inc << " " << lo;
            }
        }
    }
}

// The inline exp and log stay within the relative errors their proofs give
// (the bounds' widening relies on them), over the whole range and with the
// library's special values; the guess's shorter ones within 1e-8.
TEST(FastModel, InlineExpAndLogKeepTheirErrorBounds) {
    std::mt19937_64 rng(43);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x, y;
    for (int i = 0; i < 200000; ++i) {
        x.push_back(-708.0 + 1417.0 * unit(rng));
        // Positive numbers of every binade, subnormals included, and near 1.
        y.push_back(i % 4 == 0 ? 1.0 + (unit(rng) - 0.5) * 1e-3 : std::ldexp(0.5 + unit(rng), -1074 + (i % 2098)));
    }
    const double special[] = {0.0, -0.0, -1.0, kInf, -kInf, std::nan(""), 1.0};
    const double logSpecial[] = {-kInf, -kInf, NAN, kInf, NAN, NAN, 0.0};
    const double expArgs[] = {709.5, 1e300, -708.5, -1e300, kInf, -kInf, std::nan(""), 0.0};
    const double expSpecial[] = {kInf, kInf, 0.0, 0.0, kInf, 0.0, NAN, 1.0};
    for (const SearchProbes* k : availableSearchProbes()) {
        SCOPED_TRACE(quorvane::simd::name(k->isa));
        const struct {
            void (*log)(const double*, double*, int);
            void (*exp)(const double*, double*, int);
            double logError, expError;
        } variants[] = {{k->logFast, k->expFast, 0x1p-46, 0x1p-48}, {k->logRough, k->expRough, 1e-8, 1e-8}};
        for (const auto& f : variants) {
            std::vector<double> got(x.size());
            double worstExp = 0, worstLog = 0;
            f.exp(x.data(), got.data(), static_cast<int>(x.size()));
            for (std::size_t i = 0; i < x.size(); ++i) worstExp = std::max(worstExp, std::fabs(got[i] / std::exp(x[i]) - 1));
            f.log(y.data(), got.data(), static_cast<int>(y.size()));
            for (std::size_t i = 0; i < y.size(); ++i) {
                if (y[i] != 1.0) worstLog = std::max(worstLog, std::fabs(got[i] / std::log(y[i]) - 1));
            }
            EXPECT_LT(worstExp, f.expError);
            EXPECT_LT(worstLog, f.logError);
            double out[8];
            f.log(special, out, 7);
            for (int i = 0; i < 7; ++i) EXPECT_TRUE(quorvane::support::sameValue(out[i], logSpecial[i])) << special[i];
            f.exp(expArgs, out, 8);
            for (int i = 0; i < 8; ++i) EXPECT_TRUE(quorvane::support::sameValue(out[i], expSpecial[i])) << expArgs[i];
        }
    }
}

}  // namespace
