# veltra's header-only C++ kernels for Cython in C++ mode, compiled into the cimporting module:
#
#     # distutils: language = c++
#     from veltra.kernels cimport _R, _R_DD
#
# and build with include_dirs=[veltra.get_include()] and -ffp-contract=off (without it the
# compiler may fuse a*b + c, and the bits differ from veltra's); no fast-math.  Every function
# is pure and may be called without the GIL.  The domain checks of the Python functions are
# not here: outside a domain the result is what the formula gives in IEEE arithmetic.

cdef extern from "mills.hpp" namespace "veltra" nogil:
    cdef cppclass Mills013[T]:
        T R   # R(x)
        T R1  # -R'(x)
        T R3  # -R'''(x)

    double _R(double x) noexcept  # R(x) = N(-x)/n(x)
    double _R1(double x) noexcept  # -R'(x) = 1 - x R(x)
    double _R3(double x) noexcept  # -R'''(x) = x^2 + 2 - (x^3 + 3x) R(x)
    double _Rrel_below1(double x) noexcept  # (sqrt(pi/2) - R(x))/x, for 0 <= x <= 1
    # R, -R' and -R''' from the tail convergent of the given order (0 to 4)
    Mills013[double] _R013_CF(double x, int order) noexcept

cdef extern from "ratiodiff.hpp" namespace "veltra" nogil:
    # (R(x - dx) - R(x + dx))/(2 dx) for theta >= 0, (R(dx - x) + R(x + dx))/(2 dx) for theta < 0
    double _R_DD(double x, double dx, int theta) noexcept
    # the same divided difference of the depth-n continued-fraction convergent of R
    double _R_DD_CF(double x, double dx, int n) noexcept

cdef extern from "intmean.hpp" namespace "veltra" nogil:
    double _logrel(double x) noexcept  # log(1 + x)/x, 1 at x = 0
    double _powrel(double x, double a) noexcept  # ((1 + x)^a - 1)/(a x), 1 at x = 0

# The standard normal truncated to [a, b], as veltra.truncnorm, under names that say so.
cdef extern from "truncnorm.hpp" nogil:
    cdef cppclass TruncnormMoments "veltra::truncnorm::Moments<double>":
        double log_prob
        double mean
        double var

    double truncnorm_log_prob "veltra::truncnorm::log_prob"(double a, double b) noexcept
    double truncnorm_mean "veltra::truncnorm::mean"(double a, double b) noexcept
    double truncnorm_var "veltra::truncnorm::var"(double a, double b) noexcept
    TruncnormMoments truncnorm_moments "veltra::truncnorm::moments"(double a, double b) noexcept
    double truncnorm_logpdf "veltra::truncnorm::logpdf"(double x, double a, double b) noexcept
    double truncnorm_pdf "veltra::truncnorm::pdf"(double x, double a, double b) noexcept
    double truncnorm_logcdf "veltra::truncnorm::logcdf"(double x, double a, double b) noexcept
    double truncnorm_logsf "veltra::truncnorm::logsf"(double x, double a, double b) noexcept
    double truncnorm_cdf "veltra::truncnorm::cdf"(double x, double a, double b) noexcept
    double truncnorm_sf "veltra::truncnorm::sf"(double x, double a, double b) noexcept
    double truncnorm_ppf "veltra::truncnorm::ppf"(double q, double a, double b) noexcept
    double truncnorm_isf "veltra::truncnorm::isf"(double q, double a, double b) noexcept

cdef extern from "truncnorm/shape.hpp" nogil:
    double truncnorm_skew "veltra::truncnorm::skew"(double a, double b) noexcept
    double truncnorm_kurtosis "veltra::truncnorm::kurtosis"(double a, double b) noexcept  # excess

cdef extern from "truncnorm/scores.hpp" nogil:
    cdef cppclass TruncnormScores "veltra::truncnorm::Scores<double>":
        double lower  # d log P/da = -phi(a)/P
        double upper  # d log P/db = phi(b)/P

    TruncnormScores truncnorm_log_prob_grad "veltra::truncnorm::log_prob_grad"(double a, double b) noexcept
