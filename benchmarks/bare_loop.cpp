// The bare C++ reference for benchmarks/bench.py: one of veltra's scalar kernels in a plain
// loop over contiguous float64 arrays, with no Python anywhere.  Its time per element is what
// the Python binding could at best reach; the gap between the two is the binding's cost.
//
// bench.py compiles this file at run time, the way a C++ user of the headers would:
//
//     c++ -std=c++17 -O2 -ffp-contract=off -I <veltra.get_include()> bare_loop.cpp -o bare_loop
//
// and on x86-64 as meson.build's target `bare_loop` (-DVELTRA_BARE_VECTOR=1, linked with the
// vector kernels; tools/meson_targets.py builds it), and runs it once per measurement:
//
//     bare_loop FUNCTION X_FILE [Y_FILE] [int=K] [isa=I] [repeats=R] [min_time=S] [dump=OUT_FILE]
//
// X_FILE (and Y_FILE for the two-argument functions) hold raw native float64 values, the very
// arrays the Python side times.  `int` is theta or n_terms; `isa` (avx2 or avx512) times
// millsratio, millsratio_d1 and millsratio_d3 with the vector kernels of that lane set instead
// of the scalar ones; `dump` writes the outputs, so that the script can check that this loop
// computes the same bits as the binding.
//
// Two variants are timed, each as best of `repeats` samples; a sample repeats the loop until
// it has run for at least `min_time` seconds (as timeit's autorange does), so that short loops
// are not lost in clock resolution:
//
//   prealloc  the output buffer is allocated and touched once, before timing: the pure cost of
//             the kernel and the memory traffic;
//   fresh     every loop gets a new double[n] that only the loop touches, and frees it: what a
//             binding pays when it returns a new array per call (allocation, page faults of
//             first touch, release).
//
// One JSON object goes to stdout, times in nanoseconds per element.
#include "intmean.hpp"
#include "mills.hpp"
#include "ratiodiff.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if VELTRA_BARE_VECTOR
#include "_vec/vec.hpp"
#endif

namespace {

// Tells the optimiser that memory behind `p` is read and written by something it cannot see,
// so that neither the loop nor the stores nor the allocation can be elided.
inline void escape(void* p) { asm volatile("" : : "g"(p) : "memory"); }

using Clock = std::chrono::steady_clock;

struct Timing {
    double best_ns = 0;    // best sample, nanoseconds per element
    double median_ns = 0;  // median sample, for judging the noise of the machine
    long number = 0;       // loops per sample
};

// Best and median over `repeats` samples of `number` calls of body(), number chosen so that one
// sample lasts at least `min_time` seconds.
template <class Body>
Timing time_per_element(Body body, std::size_t n, int repeats, double min_time) {
    auto sample = [&](long number) {
        const auto start = Clock::now();
        for (long k = 0; k < number; ++k) body();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    long number = 1;
    for (long base = 1; base < (1L << 40); base *= 10) {  // 1, 2, 5, 10, 20, 50, ... as timeit
        bool long_enough = false;
        for (long m : {1L, 2L, 5L}) {
            number = base * m;
            if (sample(number) >= min_time) {
                long_enough = true;
                break;
            }
        }
        if (long_enough) break;
    }
    std::vector<double> seconds;
    for (int r = 0; r < repeats; ++r) seconds.push_back(sample(number));
    std::sort(seconds.begin(), seconds.end());
    const double scale = 1e9 / (static_cast<double>(number) * static_cast<double>(std::max<std::size_t>(n, 1)));
    Timing t;
    t.best_ns = seconds.front() * scale;
    t.median_ns = seconds[seconds.size() / 2] * scale;
    t.number = number;
    return t;
}

std::vector<double> read_doubles(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "bare_loop: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<double> values(bytes.size() / sizeof(double));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(double));
    return values;
}

// The loop itself: out[i] = f(x[i]) or f(x[i], y[i]); `f` is a lambda, inlined as the
// binding's template instantiation inlines its kernel.
template <class F>
void map1(F f, const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(x[i]);
}

template <class F>
void map2(F f, const double* x, const double* y, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(x[i], y[i]);
}

struct Options {
    std::string function;
    std::vector<std::string> files;
    int k = 1;
    std::string isa;
    int repeats = 7;
    double min_time = 0.02;
    std::string dump;
};

Options parse(int argc, char** argv) {
    Options o;
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: bare_loop FUNCTION X_FILE [Y_FILE] [int=K] [isa=I] [repeats=R] "
                     "[min_time=S] [dump=OUT_FILE]\n");
        std::exit(2);
    }
    o.function = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        const std::string key = eq == std::string::npos ? "" : arg.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : arg.substr(eq + 1);
        if (key == "int") o.k = std::atoi(value.c_str());
        else if (key == "isa") o.isa = value;
        else if (key == "repeats") o.repeats = std::max(1, std::atoi(value.c_str()));
        else if (key == "min_time") o.min_time = std::atof(value.c_str());
        else if (key == "dump") o.dump = value;
        else o.files.push_back(arg);
    }
    return o;
}

// Runs both variants for one kernel; `loop(out)` fills out[0, n).
template <class Loop>
int run(const Options& o, std::size_t n, Loop loop) {
    std::vector<double> out(n, 0.0);  // allocated and touched here, outside the timing
    const Timing pre = time_per_element(
        [&] {
            loop(out.data());
            escape(out.data());
        },
        n, o.repeats, o.min_time);
    const Timing fresh = time_per_element(
        [&] {
            double* buffer = new double[n];
            loop(buffer);
            escape(buffer);
            delete[] buffer;
        },
        n, o.repeats, o.min_time);
    if (!o.dump.empty()) {
        std::ofstream f(o.dump, std::ios::binary);
        f.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(n * sizeof(double)));
    }
    std::printf(
        "{\"function\": \"%s\", \"n\": %zu, \"int\": %d, "
        "\"prealloc_ns\": %.6g, \"prealloc_median_ns\": %.6g, \"prealloc_number\": %ld, "
        "\"fresh_ns\": %.6g, \"fresh_median_ns\": %.6g, \"fresh_number\": %ld}\n",
        o.function.c_str(), n, o.k, pre.best_ns, pre.median_ns, pre.number, fresh.best_ns,
        fresh.median_ns, fresh.number);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    const std::vector<double> x = read_doubles(o.files.at(0));
    const std::size_t n = x.size();
    std::vector<double> y;
    if (o.files.size() > 1) {
        y = read_doubles(o.files[1]);
        if (y.size() != n) {
            std::fprintf(stderr, "bare_loop: the two input files differ in length\n");
            return 2;
        }
    }
    const double* px = x.data();
    const double* py = y.data();
    const int k = o.k;
    const std::string& f = o.function;

    auto unary = [&](auto kernel) {
        return run(o, n, [&](double* out) { map1(kernel, px, out, n); });
    };
    auto binary = [&](auto kernel) {
        if (y.empty()) {
            std::fprintf(stderr, "bare_loop: %s needs a second input file\n", f.c_str());
            std::exit(2);
        }
        return run(o, n, [&](double* out) { map2(kernel, px, py, out, n); });
    };

#if VELTRA_BARE_VECTOR
    if (!o.isa.empty()) {
        using ArrayKernel = void (*)(const double*, double*, std::size_t);
        const bool wide = o.isa == "avx512";
        if (!wide && o.isa != "avx2") {
            std::fprintf(stderr, "bare_loop: unknown lane set %s\n", o.isa.c_str());
            return 2;
        }
        const ArrayKernel kernel = f == "millsratio"      ? (wide ? veltra::vec::avx512::R : veltra::vec::avx2::R)
                                   : f == "millsratio_d1" ? (wide ? veltra::vec::avx512::R1 : veltra::vec::avx2::R1)
                                   : f == "millsratio_d3" ? (wide ? veltra::vec::avx512::R3 : veltra::vec::avx2::R3)
                                                          : nullptr;
        if (kernel == nullptr) {
            std::fprintf(stderr, "bare_loop: %s has no vector kernel\n", f.c_str());
            return 2;
        }
        return run(o, n, [&](double* out) { kernel(px, out, n); });
    }
#endif
    if (f == "millsratio") return unary([](double v) { return veltra::_R(v); });
    if (f == "millsratio_d1") return unary([](double v) { return veltra::_R1(v); });
    if (f == "millsratio_d3") return unary([](double v) { return veltra::_R3(v); });
    if (f == "millsratio_rel_below1") return unary([](double v) { return veltra::_Rrel_below1(v); });
    if (f == "logrel") return unary([](double v) { return veltra::_logrel(v); });
    if (f == "millsratio_dd") return binary([k](double v, double d) { return veltra::_R_DD(v, d, k); });
    if (f == "millsratio_dd_cf") return binary([k](double v, double d) { return veltra::_R_DD_CF(v, d, k); });
    if (f == "powrel") return binary([](double v, double a) { return veltra::_powrel(v, a); });
    std::fprintf(stderr, "bare_loop: unknown function %s\n", f.c_str());
    return 2;
}
