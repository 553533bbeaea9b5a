"""Numba ladder scan: the linear scan of the 2601 candidate speeds, compiled
with Numba and parallel over pixels (prange), for comparison with Quorvane.

Runs in its own virtual environment (Numba pins the NumPy versions it works
with), started by bench/measure.py:

    python bench/numba_scan.py SCENE_FILE PIXELS REPEATS SPEEDS_OUT

SCENE_FILE holds float32 records (relative direction in degrees, incidence in
degrees, sigma0 in dB) as bench_scene writes them; the first PIXELS are used.
Prints one JSON object (versions, compile time, the times of each repeat on
one thread and on all threads) and saves the speeds of the last run to
SPEEDS_OUT (.npy).

The model is CMOD5.N in float64 with the math library LLVM links (Numba's
math.exp, math.pow, ...), evaluated in the model's grouping, without fastmath.
"""

import json
import math
import sys
import time

import numba
import numpy as np
from numba import njit, prange

C1, C2, C3, C4 = -0.6878, -0.7957, 0.3380, -0.1728
C5, C6 = 0.0, 0.0040
C7, C8 = 0.1103, 0.0159
C9, C10, C11 = 6.7329, 2.7713, -2.2885
C12, C13 = 0.4971, -0.7250
C14, C15, C16, C17, C18 = 0.0450, 0.0066, 0.3222, 0.0120, 22.7
C19, C20 = 2.0813, 3.0
C21, C22, C23 = 8.3659, -3.3428, 1.3236
C24, C25, C26 = 6.2437, 2.3893, 0.3249
C27, C28 = 4.1590, 1.6930
PI = 3.141592653589793
V2_A = 1.7208666666666668


@njit(error_model="numpy", inline="always")
def speed_by_scan(wind_dir, inc_angle, sigma0):
    theta = 16.0 if inc_angle <= 16.0 else inc_angle
    x = (theta - 40.0) / 25.0
    phi = (wind_dir * PI) / 180.0
    cos1 = math.cos(phi)
    cos2 = math.cos(phi + phi)
    a0 = ((C3 * x) * x + (C2 * x + C1)) + ((C4 * x) * x) * x
    a1 = C6 * x + C5
    a2 = C8 * x + C7
    gamma = (C10 * x + C9) + (C11 * x) * x
    s0 = C12 + C13 * x
    v0 = (C21 + C22 * x) + (C23 * x) * x
    d1 = (C26 * x) * x + (C25 * x + C24)
    d2 = C28 * x + C27
    b = 1.0 / (math.pow(C19 - 1.0, 2.0) * 3.0)
    for i in range(2601):
        v = float(i) * 0.01
        s = a2 * v
        if s < s0:
            g = 1.0 / (math.exp(-s0) + 1.0)
            a3 = math.pow(s / s0, (1.0 - g) * s0) * g
        else:
            a3 = 1.0 / (math.exp(-s) + 1.0)
        b0 = math.pow(10.0, a1 * v + a0) * math.pow(a3, gamma)
        t = math.tanh(4.0 * ((x + C16) + C17 * v))
        b1 = (C14 * (x + 1.0) - ((x + 0.5) - t) * (C15 * v)) / (math.exp(0.34 * (v - C18)) + 1.0)
        y = v / v0 + 1.0
        if y < C19:
            v2 = math.pow(y - 1.0, C20) * b + V2_A
        else:
            v2 = y
        b2 = math.exp(-v2) * (d2 * v2 - d1)
        sigma = math.pow(b2 * cos2 + (b1 * cos1 + 1.0), 1.6) * b0
        if math.log10(sigma) * 10.0 - sigma0 >= 0.0:
            return v
    return 26.0


@njit(parallel=True, error_model="numpy")
def speed_grid(wind_dir, inc_angle, sigma0, out):
    for k in prange(out.size):
        out[k] = speed_by_scan(np.float64(wind_dir[k]), np.float64(inc_angle[k]),
                               np.float64(sigma0[k]))


def main():
    scene_file, pixels, repeats, speeds_out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    scene = np.fromfile(scene_file, dtype=np.float32, count=3 * pixels).reshape(-1, 3)
    wind_dir = np.ascontiguousarray(scene[:, 0])
    inc_angle = np.ascontiguousarray(scene[:, 1])
    sigma0 = np.ascontiguousarray(scene[:, 2])
    out = np.empty(wind_dir.size)

    start = time.perf_counter()
    speed_grid(wind_dir[:8], inc_angle[:8], sigma0[:8], out[:8])   # compiles
    compile_seconds = time.perf_counter() - start

    all_threads = numba.config.NUMBA_NUM_THREADS
    times = {}
    for threads in sorted({1, all_threads}):
        numba.set_num_threads(threads)
        runs = []
        for _ in range(repeats):
            start = time.perf_counter()
            speed_grid(wind_dir, inc_angle, sigma0, out)
            runs.append(time.perf_counter() - start)
        times[str(threads)] = runs
    np.save(speeds_out, out)
    print(json.dumps({
        "numba": numba.__version__,
        "numpy": np.__version__,
        "threading_layer": numba.threading_layer(),
        "pixels": int(wind_dir.size),
        "compile_seconds": compile_seconds,
        "times": times,
    }))


if __name__ == "__main__":
    main()
