// speed_uncertainty: the speeds' standard uncertainty from the table of the
// exact kernel's speeds (speed_table/speed_uncertainty.hpp), the table
// built by the caller.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "module/gil.hpp"
#include "products_module/arrays.hpp"
#include "products_module/functions.hpp"
#include "speed_table/speed_uncertainty.hpp"

namespace quorvane::loops {

const char kSpeedUncertaintyDoc[] =
    "speed_uncertainty(table, rough, incidence_axis, direction_step, sigma0_axis, top, speed, relative,\n"
    "                  incidence, sigma0, u_sigma0, direction_deg, alphas=None)\n"
    "--\n\n"
    "The standard uncertainty (m/s, float32, lines x pixels) of each retrieved speed, every\n"
    "speed interpolated in table (float32, incidence x |direction| x sigma0 dB, continued\n"
    "linearly past top) whose nodes are incidence_axis = (start, step), 0 + i direction_step\n"
    "and sigma0_axis = (start, step); rough (uint8, one less each way) flags the cells not\n"
    "to interpolate. speed, relative, incidence, sigma0 (float32) are lines x pixels;\n"
    "u_sigma0, sigma0's standard uncertainty, is float64 lines x pixels or (nesz float32,\n"
    "samples int32, looks, noise_relative, calibration_relative) of the blocks to compute\n"
    "it from (as quorvane_wind.uncertainty.sigma0_uncertainty); direction_deg is the\n"
    "direction's uncertainty; alphas (centre, low, high) for HH sigma0. NaN where speed is\n"
    "NaN or at the top or more, and where the table declines (a rough cell, incidence\n"
    "outside it, sigma0 not positive, non-finite input).";

namespace {

bool parseAxis(PyObject* tuple, double& start, double& step, const char* name) {
    if (!PyTuple_Check(tuple) || !PyArg_ParseTuple(tuple, "dd", &start, &step)) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s: expected (start, step), two numbers", name);
        }
        return false;
    }
    if (!std::isfinite(start) || !(step > 0.0) || !std::isfinite(step)) {
        PyErr_Format(PyExc_ValueError, "%s: expected a finite start and a positive, finite step", name);
        return false;
    }
    return true;
}

}  // namespace

PyObject* speedUncertainty(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"table", "rough", "incidence_axis", "direction_step", "sigma0_axis",
                                     "top", "speed", "relative", "incidence", "sigma0", "u_sigma0",
                                     "direction_deg", "alphas", nullptr};
    PyObject *table_object, *rough_object, *incidence_axis, *sigma0_axis;
    PyObject *speed_object, *relative_object, *incidence_object, *sigma0_object, *u_object;
    PyObject* alphas = Py_None;
    double direction_step = 0.0, top = 0.0, direction_deg = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOdOdOOOOOd|O:speed_uncertainty",
                                     const_cast<char**>(keywords), &table_object, &rough_object, &incidence_axis,
                                     &direction_step, &sigma0_axis, &top, &speed_object, &relative_object,
                                     &incidence_object, &sigma0_object, &u_object, &direction_deg, &alphas)) {
        return nullptr;
    }
    speed_table::Terms terms{direction_deg, alphas != Py_None, 0.0, 0.0, 0.0};
    if (terms.hh && (!PyTuple_Check(alphas) || !PyArg_ParseTuple(alphas, "ddd", &terms.alphaCentre,
                                                                  &terms.alphaLow, &terms.alphaHigh))) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "alphas: expected None or (centre, low, high), three numbers");
        }
        return nullptr;
    }
    if (!(direction_step > 0.0) || !std::isfinite(direction_step) || !std::isfinite(top) ||
        !std::isfinite(direction_deg)) {
        PyErr_SetString(PyExc_ValueError,
                        "direction_step, top, direction_deg: expected finite numbers, a positive step");
        return nullptr;
    }
    speed_table::SpeedTable table{};
    table.top = top;
    table.direction = {0.0, direction_step, 0};
    if (!parseAxis(incidence_axis, table.incidence.start, table.incidence.step, "incidence_axis") ||
        !parseAxis(sigma0_axis, table.sigma0Db.start, table.sigma0Db.step, "sigma0_axis")) {
        return nullptr;
    }
    py::Ref speeds = asArray(table_object, NPY_FLOAT32, {-1, -1, -1}, "table");
    if (!speeds) return nullptr;
    const npy_intp ni = extent(speeds, 0), nd = extent(speeds, 1), ns = extent(speeds, 2);
    // The pass indexes the table with 32-bit offsets.
    if (ni < 2 || nd < 2 || ns < 2 || ni * nd * ns > std::numeric_limits<std::int32_t>::max()) {
        PyErr_SetString(PyExc_ValueError, "table: expected at least two nodes along each axis, under 2^31 in all");
        return nullptr;
    }
    py::Ref rough = asArray(rough_object, NPY_UINT8, {ni - 1, nd - 1, ns - 1}, "rough");
    if (!rough) return nullptr;
    table.speed = data<float>(speeds);
    table.rough = data<std::uint8_t>(rough);
    table.incidence.count = static_cast<std::size_t>(ni);
    table.direction.count = static_cast<std::size_t>(nd);
    table.sigma0Db.count = static_cast<std::size_t>(ns);

    py::Ref speed = asArray(speed_object, NPY_FLOAT32, {-1, -1}, "speed");
    if (!speed) return nullptr;
    const npy_intp rows = extent(speed, 0), columns = extent(speed, 1);
    py::Ref relative = asArray(relative_object, NPY_FLOAT32, {rows, columns}, "relative");
    py::Ref incidence = relative ? asArray(incidence_object, NPY_FLOAT32, {rows, columns}, "incidence") : py::Ref();
    py::Ref sigma0 = incidence ? asArray(sigma0_object, NPY_FLOAT32, {rows, columns}, "sigma0") : py::Ref();
    if (!sigma0) return nullptr;
    speed_table::Pixels pixels{data<float>(speed), data<float>(relative), data<float>(incidence),
                               data<float>(sigma0), nullptr, {}};
    py::Ref u_sigma0, nesz, samples;
    if (PyTuple_Check(u_object)) {
        PyObject *nesz_object, *samples_object;
        speed_table::Sigma0Noise& noise = pixels.noise;
        if (!PyArg_ParseTuple(u_object, "OOddd", &nesz_object, &samples_object, &noise.looks,
                              &noise.noiseRelative, &noise.calibrationRelative)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "u_sigma0: expected an array or (nesz, samples, looks, "
                                                 "noise_relative, calibration_relative)");
            }
            return nullptr;
        }
        if (!(nesz = asArray(nesz_object, NPY_FLOAT32, {rows, columns}, "nesz")) ||
            !(samples = asArray(samples_object, NPY_INT32, {rows, columns}, "samples"))) {
            return nullptr;
        }
        noise.nesz = data<float>(nesz);
        noise.samples = data<std::int32_t>(samples);
    } else {
        if (!(u_sigma0 = asArray(u_object, NPY_FLOAT64, {rows, columns}, "u_sigma0"))) return nullptr;
        pixels.uSigma0 = data<double>(u_sigma0);
    }
    py::Ref out = newArray(NPY_FLOAT32, rows, columns);
    if (!out) return nullptr;
    try {
        ReleasedInterpreterLock released;
        speed_table::speedUncertaintyPixels(table, terms, static_cast<std::size_t>(rows * columns), pixels,
                                            data<float>(out));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return out.release();
}

}  // namespace quorvane::loops
