// The CMOD5.N C-band geophysical model function, split into the terms that
// depend only on the geometry of a pixel and the forward model at one speed.
//
// Every expression keeps the grouping of the published model: the retrieval
// must return the same ladder candidate on every machine, so the compiler is
// not allowed to reassociate or contract these expressions (the core is built
// with -ffp-contract=off and without -ffast-math).
//
// The math functions come from a policy type so that the same model can be
// evaluated with the C library or with a vector math library.
#pragma once

#include <cmath>

namespace quorvane::cmod5n {

// Model coefficients C1..C28, numbered as the model numbers them. Sources:
// the functional form is CMOD5's, Hersbach, H., A. Stoffelen and S. de Haan
// (2007): An improved C-band scatterometer ocean geophysical model function:
// CMOD5, J. Geophys. Res. 112, C03006, doi:10.1029/2006JC003743; the 28
// coefficients are those refitted for equivalent-neutral winds (CMOD5.N) in
// Hersbach, H. (2010): Comparison of C-band scatterometer CMOD5.N equivalent
// neutral winds with ECMWF, J. Atmos. Oceanic Technol. 27, 721-736,
// doi:10.1175/2009JTECHO698.1.
inline constexpr double C1 = -0.6878;
inline constexpr double C2 = -0.7957;
inline constexpr double C3 = 0.3380;
inline constexpr double C4 = -0.1728;
inline constexpr double C5 = 0.0;
inline constexpr double C6 = 0.0040;
inline constexpr double C7 = 0.1103;
inline constexpr double C8 = 0.0159;
inline constexpr double C9 = 6.7329;
inline constexpr double C10 = 2.7713;
inline constexpr double C11 = -2.2885;
inline constexpr double C12 = 0.4971;
inline constexpr double C13 = -0.7250;
inline constexpr double C14 = 0.0450;
inline constexpr double C15 = 0.0066;
inline constexpr double C16 = 0.3222;
inline constexpr double C17 = 0.0120;
inline constexpr double C18 = 22.7;
inline constexpr double C19 = 2.0813;
inline constexpr double C20 = 3.0;
inline constexpr double C21 = 8.3659;
inline constexpr double C22 = -3.3428;
inline constexpr double C23 = 1.3236;
inline constexpr double C24 = 6.2437;
inline constexpr double C25 = 2.3893;
inline constexpr double C26 = 0.3249;
inline constexpr double C27 = 4.1590;
inline constexpr double C28 = 1.6930;

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kIncidenceReference = 40.0;
inline constexpr double kIncidenceScale = 25.0;
inline constexpr double kIncidenceFloor = 16.0;
inline constexpr double kFinalExponent = 1.6;

// V2 correction: a = C19 - (C19 - 1) / C20.
inline constexpr double kV2Offset = 1.7208666666666668;

// The candidate ladder: speed i * kSpeedStep for i = 0 .. kLadderLast.
inline constexpr double kSpeedStep = 0.01;
inline constexpr int kLadderLast = 2600;
inline constexpr double kFallbackSpeed = 26.0;

inline double ladderSpeed(int i) { return static_cast<double>(i) * kSpeedStep; }

// Terms that depend on the direction and incidence of a pixel only, as
// doubles or (in the vector kernels) as one pixel per lane.
template <class T>
struct GeometryOf {
    T X, cos1, cos2;
    T A0, A1, A2, gamma, S0, V0, D1, D2;
    T b;  // V2 correction scale
    T g;  // logistic value at s = S0, used below S0
};

using Geometry = GeometryOf<double>;

// The C library's double-precision functions.
struct LibmMath {
    static double cos(double x) { return std::cos(x); }
    static double exp(double x) { return std::exp(x); }
    static double pow(double x, double y) { return std::pow(x, y); }
    static double tanh(double x) { return std::tanh(x); }
    static double log10(double x) { return std::log10(x); }
};

// b = 1 / ((C19 - 1)^(C20 - 1) C20), through the policy's pow.
template <class Math>
double v2Scale() {
    return 1.0 / (Math::pow(C19 - 1.0, 2.0) * 3.0);
}

// The incidence the model uses: 16 at or below 16. NaN is not replaced: the
// comparison is false for it.
inline double incidenceUsed(double inc_angle) {
    return (inc_angle <= kIncidenceFloor) ? kIncidenceFloor : inc_angle;
}

// The geometry terms from the incidence theta already clamped, with b given
// (it depends on the math policy only). T is double, or a vector type whose
// lanes are pixels (with the policy's functions over its lanes).
template <class Math, class T>
GeometryOf<T> geometryAt(T wind_dir, T theta, T b) {
    GeometryOf<T> geo;
    const T X = (theta - kIncidenceReference) / kIncidenceScale;
    geo.X = X;
    const T phi = (wind_dir * kPi) / 180.0;
    geo.cos1 = Math::cos(phi);
    geo.cos2 = Math::cos(phi + phi);
    geo.A0 = ((C3 * X) * X + (C2 * X + C1)) + ((C4 * X) * X) * X;
    geo.A1 = C6 * X + C5;
    geo.A2 = C8 * X + C7;
    geo.gamma = (C10 * X + C9) + (C11 * X) * X;
    geo.S0 = C12 + C13 * X;
    geo.V0 = (C21 + C22 * X) + (C23 * X) * X;
    geo.D1 = (C26 * X) * X + (C25 * X + C24);
    geo.D2 = C28 * X + C27;
    geo.b = b;
    geo.g = 1.0 / (Math::exp(-geo.S0) + 1.0);
    return geo;
}

// The geometry terms, with b given.
template <class Math>
Geometry makeGeometry(double wind_dir, double inc_angle, double b) {
    return geometryAt<Math>(wind_dir, incidenceUsed(inc_angle), b);
}

template <class Math>
Geometry makeGeometry(double wind_dir, double inc_angle) {
    return makeGeometry<Math>(wind_dir, inc_angle, v2Scale<Math>());
}

// Modelled sigma0 in dB at speed v.
template <class Math>
double sigma0Cmod5n(const Geometry& geo, double v) {
    const double X = geo.X;
    const double s = geo.A2 * v;
    double A3;
    if (s < geo.S0) {
        A3 = Math::pow(s / geo.S0, (1.0 - geo.g) * geo.S0) * geo.g;
    } else {
        A3 = 1.0 / (Math::exp(-s) + 1.0);
    }
    const double B0 = Math::pow(10.0, geo.A1 * v + geo.A0) * Math::pow(A3, geo.gamma);
    const double t = Math::tanh(4.0 * ((X + C16) + C17 * v));
    const double B1 = (C14 * (X + 1.0) - ((X + 0.5) - t) * (C15 * v)) /
                      (Math::exp(0.34 * (v - C18)) + 1.0);
    const double y = v / geo.V0 + 1.0;
    const double V2 = (y < C19) ? Math::pow(y - 1.0, C20) * geo.b + kV2Offset : y;
    const double B2 = Math::exp(-V2) * (geo.D2 * V2 - geo.D1);
    const double sigma = Math::pow(B2 * geo.cos2 + (B1 * geo.cos1 + 1.0), kFinalExponent) * B0;
    return Math::log10(sigma) * 10.0;
}

// The first ladder speed whose modelled dB reaches the observation, by a
// straightforward scan. The test is on the difference so that a NaN difference
// (including -inf - -inf) never qualifies.
template <class Math>
double windspeedLinearScan(double wind_dir, double inc_angle, double sigma0) {
    const Geometry geo = makeGeometry<Math>(wind_dir, inc_angle);
    for (int i = 0; i <= kLadderLast; ++i) {
        const double v = ladderSpeed(i);
        const double d = sigma0Cmod5n<Math>(geo, v) - sigma0;
        if (d >= 0.0) return v;
    }
    return kFallbackSpeed;
}

}  // namespace quorvane::cmod5n
