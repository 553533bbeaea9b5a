// The functions of quorvane_wind._loops, each bound in a source of its own;
// module_init.cpp lists them in the method table.
#pragma once

#include <Python.h>

namespace quorvane::loops {

// block_pass(dn, factors, calibration, noise_range, noise_azimuth, border,
//            land, with_land_fraction): block_pass.cpp.
PyObject* blockPass(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char kBlockPassDoc[];

// speed_uncertainty(table, rough, incidence_axis, direction_step, sigma0_axis,
//                   top, speed, relative, incidence, sigma0, u_sigma0,
//                   direction_deg, alphas): speed_uncertainty.cpp.
PyObject* speedUncertainty(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char kSpeedUncertaintyDoc[];

}  // namespace quorvane::loops
