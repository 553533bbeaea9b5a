// block_pass: the sigma0 blocks of a window of DNs in one native pass
// (sigma0/block_pass.hpp), the look-up tables prepared by the caller.
#include <Python.h>

#include <new>
#include <stdexcept>

#include "module/gil.hpp"
#include "products_module/arrays.hpp"
#include "products_module/functions.hpp"
#include "sigma0/block_pass.hpp"

namespace quorvane::loops {

const char kBlockPassDoc[] =
    "block_pass(dn, factors, calibration, noise_range, noise_azimuth, border=None, land=None,\n"
    "           with_land_fraction=False)\n"
    "--\n\n"
    "The blocks of factors = (lines, pixels) pixels of a window of DNs (uint16, lines x\n"
    "pixels): (sigma0, nesz, land_fraction, valid_count), float32, float32, float32 or None,\n"
    "int32; per pixel with factors (1, 1). calibration and noise_range (None without noise\n"
    "vectors) are (vectors, lo_index, hi_index, weight, blend): the vectors at the window's\n"
    "pixels, per line the two vectors and the weight of the second; noise_azimuth is (rows,\n"
    "columns, values): per block its [first, end) lines and pixels in the window and its\n"
    "value on each line; border is (near_end, far_start, top_end, bottom_start) in window\n"
    "coordinates; land (bool, lines x pixels) marks the pixels left out.";

namespace {

// The arrays of one look-up table, held while the pass reads them.
struct LutArrays {
    py::Ref vectors, lo_index, hi_index, weight;
    sigma0::LineLut lut;

    // From (vectors, lo_index, hi_index, weight, blend) for a window of height x width.
    bool parse(PyObject* tuple, npy_intp height, npy_intp width, const char* name) {
        PyObject *v, *lo, *hi, *w;
        int blend = 0;
        if (!PyTuple_Check(tuple) || !PyArg_ParseTuple(tuple, "OOOOp", &v, &lo, &hi, &w, &blend)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s: expected (vectors, lo_index, hi_index, weight, blend)", name);
            }
            return false;
        }
        if (!(vectors = asArray(v, NPY_FLOAT64, {-1, width}, name)) ||
            !(lo_index = asArray(lo, NPY_INT64, {height}, name)) ||
            !(hi_index = asArray(hi, NPY_INT64, {height}, name)) ||
            !(weight = asArray(w, NPY_FLOAT64, {height}, name))) {
            return false;
        }
        const npy_intp count = extent(vectors, 0);
        for (npy_intp r = 0; r < height; ++r) {
            const std::int64_t a = data<std::int64_t>(lo_index)[r], b = data<std::int64_t>(hi_index)[r];
            if (a < 0 || a >= count || b < 0 || b >= count) {
                PyErr_Format(PyExc_ValueError, "%s: line %zd takes vectors %lld and %lld of %zd", name,
                             static_cast<Py_ssize_t>(r), static_cast<long long>(a), static_cast<long long>(b),
                             static_cast<Py_ssize_t>(count));
                return false;
            }
        }
        lut = {data<double>(vectors), count, data<std::int64_t>(lo_index), data<std::int64_t>(hi_index),
               data<double>(weight), blend != 0};
        return true;
    }
};

struct AzimuthArrays {
    py::Ref rows, columns, values;
    sigma0::AzimuthNoise noise;

    bool parse(PyObject* tuple, npy_intp height, npy_intp width) {
        const char* name = "noise_azimuth";
        PyObject *r, *c, *v;
        if (!PyTuple_Check(tuple) || !PyArg_ParseTuple(tuple, "OOO", &r, &c, &v)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s: expected (rows, columns, values)", name);
            }
            return false;
        }
        if (!(rows = asArray(r, NPY_INT64, {-1, 2}, name))) return false;
        const npy_intp count = extent(rows, 0);
        if (!(columns = asArray(c, NPY_INT64, {count, 2}, name)) ||
            !(values = asArray(v, NPY_FLOAT64, {count, height}, name))) {
            return false;
        }
        const std::int64_t* rr = data<std::int64_t>(rows);
        const std::int64_t* cc = data<std::int64_t>(columns);
        for (npy_intp b = 0; b < count; ++b) {
            if (rr[2 * b] < 0 || rr[2 * b] > rr[2 * b + 1] || rr[2 * b + 1] > height || cc[2 * b] < 0 ||
                cc[2 * b] > cc[2 * b + 1] || cc[2 * b + 1] > width) {
                PyErr_Format(PyExc_ValueError, "%s: block %zd is not within the window's %zd x %zd pixels",
                             name, static_cast<Py_ssize_t>(b), static_cast<Py_ssize_t>(height),
                             static_cast<Py_ssize_t>(width));
                return false;
            }
        }
        noise = {count, rr, cc, data<double>(values)};
        return true;
    }
};

struct BorderArrays {
    py::Ref near_end, far_start, top_end, bottom_start;
    sigma0::Border border;

    bool parse(PyObject* tuple, npy_intp height, npy_intp width) {
        const char* name = "border";
        PyObject *a, *b, *c, *d;
        if (!PyTuple_Check(tuple) || !PyArg_ParseTuple(tuple, "OOOO", &a, &b, &c, &d)) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s: expected (near_end, far_start, top_end, bottom_start)", name);
            }
            return false;
        }
        if (!(near_end = asArray(a, NPY_INT64, {height}, name)) ||
            !(far_start = asArray(b, NPY_INT64, {height}, name)) ||
            !(top_end = asArray(c, NPY_INT64, {width}, name)) ||
            !(bottom_start = asArray(d, NPY_INT64, {width}, name))) {
            return false;
        }
        border = {data<std::int64_t>(near_end), data<std::int64_t>(far_start), data<std::int64_t>(top_end),
                  data<std::int64_t>(bottom_start)};
        return true;
    }
};

bool parseFactors(PyObject* factors, npy_intp& lines, npy_intp& pixels) {
    if (!PyTuple_Check(factors) || !PyArg_ParseTuple(factors, "nn", &lines, &pixels)) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "factors: expected (lines, pixels), two integers");
        }
        return false;
    }
    if (lines < 1 || pixels < 1) {
        PyErr_Format(PyExc_ValueError, "factors: expected at least 1 x 1 pixels, got (%zd, %zd)", lines, pixels);
        return false;
    }
    return true;
}

}  // namespace

PyObject* blockPass(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dn", "factors", "calibration", "noise_range", "noise_azimuth",
                                     "border", "land", "with_land_fraction", nullptr};
    PyObject *dn_object, *factors, *calibration, *noise_range, *noise_azimuth;
    PyObject *border = Py_None, *land_object = Py_None;
    int with_land_fraction = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO|OOp:block_pass", const_cast<char**>(keywords),
                                     &dn_object, &factors, &calibration, &noise_range, &noise_azimuth, &border,
                                     &land_object, &with_land_fraction)) {
        return nullptr;
    }
    npy_intp factor_lines = 0, factor_pixels = 0;
    if (!parseFactors(factors, factor_lines, factor_pixels)) return nullptr;
    py::Ref dn = asArray(dn_object, NPY_UINT16, {-1, -1}, "dn");
    if (!dn) return nullptr;
    const npy_intp height = extent(dn, 0), width = extent(dn, 1);

    sigma0::Window window;
    window.dn = data<std::uint16_t>(dn);
    window.height = height;
    window.width = width;
    LutArrays calibration_arrays, noise_arrays;
    AzimuthArrays azimuth_arrays;
    BorderArrays border_arrays;
    py::Ref land;
    if (!calibration_arrays.parse(calibration, height, width, "calibration")) return nullptr;
    window.calibration = calibration_arrays.lut;
    if (noise_range != Py_None) {
        if (!noise_arrays.parse(noise_range, height, width, "noise_range")) return nullptr;
        window.has_noise = true;
        window.noise_range = noise_arrays.lut;
    }
    if (!azimuth_arrays.parse(noise_azimuth, height, width)) return nullptr;
    window.noise_azimuth = azimuth_arrays.noise;
    if (border != Py_None) {
        if (!border_arrays.parse(border, height, width)) return nullptr;
        window.border = &border_arrays.border;
    }
    if (land_object != Py_None) {
        if (!(land = asArray(land_object, NPY_BOOL, {height, width}, "land"))) return nullptr;
        window.land = data<std::uint8_t>(land);
    }

    const bool per_pixel = factor_lines == 1 && factor_pixels == 1;
    const npy_intp rows = sigma0::blockCount(height, factor_lines);
    const npy_intp columns = sigma0::blockCount(width, factor_pixels);
    py::Ref sigma0_out = newArray(NPY_FLOAT32, rows, columns);
    py::Ref nesz_out = newArray(NPY_FLOAT32, rows, columns);
    py::Ref count_out = newArray(NPY_INT32, rows, columns);
    py::Ref land_fraction_out;
    if (!sigma0_out || !nesz_out || !count_out) return nullptr;
    if (with_land_fraction && !per_pixel && !(land_fraction_out = newArray(NPY_FLOAT32, rows, columns))) {
        return nullptr;
    }
    sigma0::Blocks out{data<float>(sigma0_out), data<float>(nesz_out),
                       land_fraction_out ? data<float>(land_fraction_out) : nullptr,
                       data<std::int32_t>(count_out)};
    try {
        ReleasedInterpreterLock released;
        sigma0::blockPass(window, factor_lines, factor_pixels, out);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
        return nullptr;
    }
    return PyTuple_Pack(4, sigma0_out.get(), nesz_out.get(),
                        land_fraction_out ? land_fraction_out.get() : Py_None, count_out.get());
}

}  // namespace quorvane::loops
