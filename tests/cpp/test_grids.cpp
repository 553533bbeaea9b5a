// The parallel grid loops over strided views: layouts, thread counts, empty
// grids, and nothing written outside the view.
#include <gtest/gtest.h>
#include <immintrin.h>
#include <omp.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "cmod5n/cmod5n.hpp"
#include "era5/wind_angle.hpp"

namespace {

using quorvane::grid::GridView;

// Backing memory with an arbitrary byte offset (to make elements unaligned).
struct Storage {
    std::vector<char> bytes;
    explicit Storage(std::size_t size) : bytes(size + 16, '\x5a') {}
    char* at(std::size_t offset) { return bytes.data() + 8 + offset; }
};

// Lays rows x columns values into storage following the given layout and
// returns the view over them.
enum class Layout { RowMajor, ColumnMajor, ReversedRows, EverySecondColumn, Unaligned };

GridView<float> place(const std::vector<float>& values, std::int64_t rows, std::int64_t columns,
                      Layout layout, Storage& storage) {
    GridView<float> view;
    view.extent[0] = rows;
    view.extent[1] = columns;
    const std::int64_t f = sizeof(float);
    std::size_t offset = 0;
    switch (layout) {
        case Layout::RowMajor: view.stride[0] = columns * f; view.stride[1] = f; break;
        case Layout::ColumnMajor: view.stride[0] = f; view.stride[1] = rows * f; break;
        case Layout::ReversedRows:
            view.stride[0] = -columns * f; view.stride[1] = f;
            offset = static_cast<std::size_t>((rows - 1) * columns * f);
            break;
        case Layout::EverySecondColumn: view.stride[0] = 2 * columns * f; view.stride[1] = 2 * f; break;
        case Layout::Unaligned: view.stride[0] = columns * f + 1; view.stride[1] = f; offset = 1; break;
    }
    view.data = storage.at(offset);
    for (std::int64_t i = 0; i < rows; ++i) {
        for (std::int64_t j = 0; j < columns; ++j) view.store(i, j, values[i * columns + j]);
    }
    return view;
}

constexpr std::size_t storageFor(std::int64_t rows, std::int64_t columns) {
    return static_cast<std::size_t>(2 * rows * (columns * sizeof(float) + 1) + 64);
}

std::vector<float> randomValues(std::size_t n, float low, float high, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(low, high);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
}

struct Scene {
    std::int64_t rows, columns;
    std::vector<float> dir, inc, sig, u, v;
};

Scene makeScene(std::int64_t rows, std::int64_t columns) {
    const auto n = static_cast<std::size_t>(rows * columns);
    return {rows, columns, randomValues(n, -180, 180, 1), randomValues(n, 20, 50, 2),
            randomValues(n, -25, -5, 3), randomValues(n, -20, 20, 4), randomValues(n, -20, 20, 5)};
}

template <class T>
GridView<T> outputView(std::vector<char>& memory, std::int64_t rows, std::int64_t columns,
                       std::int64_t row_pitch) {
    GridView<T> view;
    view.data = memory.data();
    view.extent[0] = rows;
    view.extent[1] = columns;
    view.stride[0] = row_pitch * static_cast<std::int64_t>(sizeof(T));
    view.stride[1] = static_cast<std::int64_t>(sizeof(T));
    return view;
}

std::vector<double> runWindspeed(const Scene& s, Layout layout) {
    Storage a(storageFor(s.rows, s.columns)), b(storageFor(s.rows, s.columns)),
        c(storageFor(s.rows, s.columns));
    std::vector<char> out(static_cast<std::size_t>(s.rows * s.columns) * 8 + 8);
    quorvane::cmod5n::windspeedCmod5n_parallel(place(s.dir, s.rows, s.columns, layout, a),
                                       place(s.inc, s.rows, s.columns, layout, b),
                                       place(s.sig, s.rows, s.columns, layout, c),
                                       outputView<double>(out, s.rows, s.columns, s.columns));
    std::vector<double> result(static_cast<std::size_t>(s.rows * s.columns));
    std::memcpy(result.data(), out.data(), result.size() * 8);
    return result;
}

std::vector<float> runWindAngle(const Scene& s, Layout layout) {
    Storage a(storageFor(s.rows, s.columns)), b(storageFor(s.rows, s.columns));
    std::vector<char> out(static_cast<std::size_t>(s.rows * s.columns) * 4 + 4);
    quorvane::era5::ERA5_windAngle_parallel(place(s.u, s.rows, s.columns, layout, a),
                                      place(s.v, s.rows, s.columns, layout, b),
                                      outputView<float>(out, s.rows, s.columns, s.columns));
    std::vector<float> result(static_cast<std::size_t>(s.rows * s.columns));
    std::memcpy(result.data(), out.data(), result.size() * 4);
    return result;
}

template <class T>
void expectBitIdentical(const std::vector<T>& a, const std::vector<T>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        ASSERT_EQ(std::memcmp(&a[k], &b[k], sizeof(T)), 0) << "element " << k << ": " << a[k] << " vs " << b[k];
    }
}

TEST(Grids, ContiguousResultsArePerPixelKernelValues) {
    const Scene s = makeScene(6, 5);
    const auto speeds = runWindspeed(s, Layout::RowMajor);
    const auto angles = runWindAngle(s, Layout::RowMajor);
    for (std::size_t k = 0; k < speeds.size(); ++k) {
        EXPECT_EQ(speeds[k], quorvane::cmod5n::windspeedCmod5n(s.dir[k], s.inc[k], s.sig[k]));
        EXPECT_EQ(angles[k], static_cast<float>(quorvane::era5::ERA5_windAngle(s.u[k], s.v[k])));
    }
}

TEST(Grids, EveryLayoutGivesTheContiguousResult) {
    const Scene s = makeScene(7, 5);
    const auto speeds = runWindspeed(s, Layout::RowMajor);
    const auto angles = runWindAngle(s, Layout::RowMajor);
    for (Layout layout : {Layout::ColumnMajor, Layout::ReversedRows, Layout::EverySecondColumn,
                          Layout::Unaligned}) {
        SCOPED_TRACE(static_cast<int>(layout));
        expectBitIdentical(runWindspeed(s, layout), speeds);
        expectBitIdentical(runWindAngle(s, layout), angles);
    }
}

// Strided layouts are processed in tiles: grids larger than a tile, whose
// sizes are not multiples of it, with the two inputs and the output in
// different layouts, on several thread counts, give the contiguous result.
TEST(Grids, MixedLayoutsAcrossTileEdges) {
    const Scene s = makeScene(37, 150);
    const auto want = runWindAngle(s, Layout::RowMajor);
    const int initial = omp_get_max_threads();
    const std::pair<Layout, Layout> inputs[] = {{Layout::ColumnMajor, Layout::ColumnMajor},
                                                {Layout::ColumnMajor, Layout::RowMajor},
                                                {Layout::EverySecondColumn, Layout::ReversedRows},
                                                {Layout::Unaligned, Layout::ColumnMajor}};
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        for (const auto& [layoutU, layoutV] : inputs) {
            for (const bool columnMajorOut : {false, true}) {
                SCOPED_TRACE(testing::Message() << threads << " threads, layouts " << static_cast<int>(layoutU)
                                                << " " << static_cast<int>(layoutV) << ", column-major output "
                                                << columnMajorOut);
                Storage a(storageFor(s.rows, s.columns)), b(storageFor(s.rows, s.columns));
                std::vector<char> out(static_cast<std::size_t>(s.rows * s.columns) * 4);
                GridView<float> outView = outputView<float>(out, s.rows, s.columns, s.columns);
                if (columnMajorOut) {
                    outView.stride[0] = 4;
                    outView.stride[1] = s.rows * 4;
                }
                quorvane::era5::ERA5_windAngle_parallel(place(s.u, s.rows, s.columns, layoutU, a),
                                                  place(s.v, s.rows, s.columns, layoutV, b), outView);
                std::vector<float> got(want.size());
                for (std::int64_t i = 0; i < s.rows; ++i) {
                    for (std::int64_t j = 0; j < s.columns; ++j) got[i * s.columns + j] = outView.load(i, j);
                }
                expectBitIdentical(got, want);
            }
        }
    }
    omp_set_num_threads(initial);
}

TEST(Grids, ThreadCountDoesNotChangeResults) {
    const Scene s = makeScene(37, 3);
    const int initial = omp_get_max_threads();
    omp_set_num_threads(1);
    const auto speeds = runWindspeed(s, Layout::RowMajor);
    const auto angles = runWindAngle(s, Layout::RowMajor);
    for (int threads : {2, 5}) {
        omp_set_num_threads(threads);
        expectBitIdentical(runWindspeed(s, Layout::RowMajor), speeds);
        expectBitIdentical(runWindAngle(s, Layout::RowMajor), angles);
    }
    omp_set_num_threads(initial);
}

TEST(Grids, NothingIsWrittenOutsideTheView) {
    // A 4 x 3 view inside a 6 x 5 output: the rest keeps its sentinel bytes.
    const Scene s = makeScene(4, 3);
    Storage a(storageFor(4, 3)), b(storageFor(4, 3)), c(storageFor(4, 3));
    const GridView<float> dir = place(s.dir, 4, 3, Layout::RowMajor, a);
    const GridView<float> inc = place(s.inc, 4, 3, Layout::RowMajor, b);
    const GridView<float> sig = place(s.sig, 4, 3, Layout::RowMajor, c);
    for (std::size_t element : {std::size_t{8}, std::size_t{4}}) {
        std::vector<char> out(6 * 5 * element, '\x77');
        if (element == 8) {
            quorvane::cmod5n::windspeedCmod5n_parallel(dir, inc, sig, outputView<double>(out, 4, 3, 5));
        } else {
            quorvane::era5::ERA5_windAngle_parallel(dir, inc, outputView<float>(out, 4, 3, 5));
        }
        for (std::size_t i = 0; i < 6; ++i) {
            for (std::size_t j = 0; j < 5; ++j) {
                const bool inside = i < 4 && j < 3;
                const char* p = out.data() + (i * 5 + j) * element;
                bool sentinel = true;
                for (std::size_t k = 0; k < element; ++k) sentinel = sentinel && p[k] == '\x77';
                EXPECT_EQ(sentinel, !inside) << "element " << i << ", " << j << " size " << element;
            }
        }
    }
}

TEST(Grids, EmptyGridsWriteNothingAndReturnAtOnce) {
    // Views with no rows or no columns; the data pointers lead nowhere valid
    // except the sentinel output, which must stay untouched. Extents past
    // 2^31 with nothing in them must not walk their rows or columns.
    std::vector<char> out(64, '\x33');
    constexpr std::int64_t kHuge = (std::int64_t{1} << 31) + 10;
    const auto start = std::chrono::steady_clock::now();
    for (auto [rows, columns] : {std::pair<std::int64_t, std::int64_t>{0, 4}, {3, 0}, {0, 0}, {kHuge, 0},
                                 {0, kHuge}, {std::int64_t{1} << 40, 0}}) {
        GridView<float> input;
        input.extent[0] = rows;
        input.extent[1] = columns;
        input.stride[0] = 1 << 20;   // any access would fault or hit the sentinel
        input.stride[1] = 1 << 10;
        const GridView<double> speed = outputView<double>(out, rows, columns, columns);
        const GridView<float> angle = outputView<float>(out, rows, columns, columns);
        quorvane::cmod5n::windspeedCmod5n_parallel(input, input, input, speed);
        quorvane::era5::ERA5_windAngle_parallel(input, input, angle);
        input.stride[1] = 4 * rows;  // a strided view takes the tiled path
        quorvane::era5::ERA5_windAngle_parallel(input, input, angle);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 0.5);
    for (char byte : out) EXPECT_EQ(byte, '\x33');
}

// The grids compute in the IEEE default mode on every thread, whatever the
// caller's mode (flush-to-zero and denormals-are-zero set, as by a library
// built with -ffast-math) and the mode the OpenMP workers were created with,
// and give the caller's mode back. Pixels whose result FTZ/DAZ would change:
// a subnormal sigma0 product (26 m/s instead of 0) and subnormal components.
TEST(Grids, CallersFloatingPointModeChangesNothing) {
    constexpr unsigned kFtzDaz = 0x8040;
    const std::int64_t rows = 64, columns = 37;
    Scene s = makeScene(rows, columns);
    std::mt19937 rng(77);
    for (std::int64_t k = 0; k < rows * columns; ++k) {
        // Random bits, two in three with a subnormal or zero exponent.
        const auto bits = static_cast<std::uint32_t>(rng());
        const std::uint32_t low = rng() % 3 != 0 ? bits & 0x807fffffu : bits;
        s.u[k] = std::bit_cast<float>(low);
        s.v[k] = std::bit_cast<float>(k % 2 ? low ^ 0x3f800000u : static_cast<std::uint32_t>(rng()));
    }
    for (std::int64_t i = 0; i < 4; ++i) {
        s.dir[i * columns] = std::bit_cast<float>(0x42340000u);
        s.inc[i * columns] = std::bit_cast<float>(0x43b25555u);
        s.sig[i * columns] = std::bit_cast<float>(0xc5098fe4u);
        s.u[i * columns] = std::bit_cast<float>(0x800116c2u);
        s.v[i * columns] = std::bit_cast<float>(0xbf800000u);
    }
    const int initial = omp_get_max_threads();
    const unsigned callers = _mm_getcsr();
    _mm_setcsr(0x1f80);
    omp_set_num_threads(1);
    const auto speeds = runWindspeed(s, Layout::RowMajor);
    const auto angles = runWindAngle(s, Layout::RowMajor);
    EXPECT_EQ(speeds[0], 0.0);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(angles[0]), 0x116c2u);
    const auto expectDefaultResults = [&](const char* what, unsigned mode) {
        SCOPED_TRACE(testing::Message() << what << ", " << omp_get_max_threads() << " threads");
        _mm_setcsr(mode);
        const auto gotSpeeds = runWindspeed(s, Layout::RowMajor);
        const auto gotAngles = runWindAngle(s, Layout::ColumnMajor);
        const auto gotRowAngles = runWindAngle(s, Layout::RowMajor);
        EXPECT_EQ(_mm_getcsr(), mode);
        _mm_setcsr(0x1f80);
        expectBitIdentical(gotSpeeds, speeds);
        expectBitIdentical(gotAngles, angles);
        expectBitIdentical(gotRowAngles, angles);
    };
    for (int threads : {1, 2}) {
        omp_set_num_threads(threads);
        expectDefaultResults("caller with FTZ/DAZ, workers without", 0x1f80 | kFtzDaz);
        expectDefaultResults("caller rounding down", 0x1f80 | 0x2000);
    }
    // Workers created while the caller had FTZ/DAZ keep it; the caller then
    // computes in the default mode beside them.
    omp_set_num_threads(initial + 2);
    _mm_setcsr(0x1f80 | kFtzDaz);
#pragma omp parallel
    { (void)omp_get_thread_num(); }
    expectDefaultResults("workers with FTZ/DAZ, caller without", 0x1f80);
    expectDefaultResults("workers and caller with FTZ/DAZ", 0x1f80 | kFtzDaz);
    omp_set_num_threads(initial);
    _mm_setcsr(callers);
}

}  // namespace

namespace {

TEST(Grids, ExtentsOf2To31AndMoreAreProcessedWhole) {
    // One row of 2^31 + 1 columns, every element aliased onto one float by
    // zero strides: the loop must reach the pixels (a 32-bit column count
    // would wrap negative and write nothing).
    float u = 3.0f, v = 4.0f;
    float out = std::numeric_limits<float>::quiet_NaN();
    auto view = [](float* data, std::int64_t rows, std::int64_t columns) {
        GridView<float> g;
        g.data = reinterpret_cast<char*>(data);
        g.extent[0] = rows;
        g.extent[1] = columns;
        g.stride[0] = 0;
        g.stride[1] = 0;
        return g;
    };
    const std::int64_t columns = (std::int64_t{1} << 31) + 1;
    quorvane::era5::ERA5_windAngle_parallel(view(&u, 1, columns), view(&v, 1, columns), view(&out, 1, columns));
    EXPECT_EQ(out, static_cast<float>(quorvane::era5::ERA5_windAngle(3.0, 4.0)));
}

}  // namespace
