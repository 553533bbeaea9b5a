// Wind speed retrieval by inversion of CMOD5.N, per pixel and over a grid.
#pragma once

#include "grid/grid_view.hpp"

namespace quorvane::cmod5n {

// Wind speed in m/s for one pixel: relative wind direction (degrees),
// incidence angle (degrees), observed sigma0 (dB). The first candidate of the
// ladder whose modelled dB reaches sigma0, found by an exact pruned search
// with SLEEF's functions on the active instruction set (simd::active()):
// always the answer of windspeedCmod5nSleefScan. Expects the IEEE default
// floating-point mode, as the grid sets it.
double windspeedCmod5n(double wind_dir, double inc_angle, double sigma0);

// The straightforward scan of the ladder with the C library's functions.
double windspeedCmod5nReference(double wind_dir, double inc_angle, double sigma0);

// The straightforward scan with SLEEF's scalar functions of the family the
// vector kernels use on this CPU (FMA or not).
double windspeedCmod5nSleefScan(double wind_dir, double inc_angle, double sigma0);

// Applies windspeedCmod5n to every pixel of the grid whose size is given by
// wind_dir_view; the caller guarantees that every view covers that size. Rows
// are shared among the OpenMP threads with a static schedule; a grid without
// rows or without columns returns at once. Every thread computes in the IEEE
// default floating-point mode and restores its own afterwards, so the result
// does not depend on the caller's mode or on the thread.
void windspeedCmod5n_parallel(grid::GridView<float> wind_dir_view, grid::GridView<float> inc_angle_view,
                              grid::GridView<float> sigma0_view, grid::GridView<double> out_speed);

}  // namespace quorvane::cmod5n
