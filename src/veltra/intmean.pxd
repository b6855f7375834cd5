# The kernels of veltra.intmean for Cython, called through the capsules of the module's
# __pyx_capi__ (the module is imported when the cimporting module is):
#
#     from veltra.intmean cimport _logrel, _powrel
#
# Neither checks the domain x > -1; below it the result is what IEEE arithmetic gives (NaN).
# Both are pure: call them with or without the GIL.

cdef double _logrel(double x) noexcept nogil  # log(1 + x)/x, 1 at x = 0
cdef double _powrel(double x, double a) noexcept nogil  # ((1 + x)^a - 1)/(a x), 1 at x = 0
