// Writes the benchmark scene to a file, so that the Python benchmarks time the
// very pixels the C++ benchmarks use.
//
//   bench_scene PIXELS SEED FILE
//
// FILE receives PIXELS records of three native float32 values (relative wind
// direction in degrees, incidence in degrees, sigma0 in dB), in the order of
// quorvane::support::realisticScene(PIXELS, SEED). With SEED 2024 its first 2^18
// records are the scene of bench_kernels.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/cpp/support/synthetic_scene.hpp"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PIXELS SEED FILE\n", argv[0]);
        return 2;
    }
    const long long pixels = std::atoll(argv[1]);
    const std::uint64_t seed = std::strtoull(argv[2], nullptr, 10);
    if (pixels <= 0) {
        std::fprintf(stderr, "PIXELS must be positive\n");
        return 2;
    }
    const std::vector<quorvane::support::ScenePixel> scene =
        quorvane::support::realisticScene(static_cast<std::size_t>(pixels), seed);
    std::FILE* file = std::fopen(argv[3], "wb");
    if (file == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    static_assert(sizeof(quorvane::support::ScenePixel) == 3 * sizeof(float));
    const std::size_t written =
        std::fwrite(scene.data(), sizeof(quorvane::support::ScenePixel), scene.size(), file);
    if (written != scene.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "%s: write failed\n", argv[3]);
        return 1;
    }
    return 0;
}
