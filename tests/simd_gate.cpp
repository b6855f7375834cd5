// Bit-identity gate of the vector Mills-ratio kernels: every lane set compiled in, against the
// scalar kernels of mills.hpp, as 64-bit patterns, on millions of arguments.
//
// A target of meson.build, built on request only, with the wheel's Mills-ratio lane units (and,
// as simd_gate_<fault>, with units compiled with a fault on purpose); run by tests/test_simd.py:
//
//     simd_gate [avx2] [avx512]
//
// Arguments: random 64-bit patterns (NaN payloads of both signs, subnormals, every exponent),
// uniform and log-uniform arguments over every regime, the special values, every threshold and
// segment boundary of the kernels with 128 neighbouring doubles on each side, in both signs,
// 4096 doubles on each side of the overflow limit of the reflection, arguments in ascending
// order (groups of lanes in one regime), and each special value in every lane of a group.  Then lengths 0 to 2W + 1 from every start offset, unaligned buffers
// and out == x.  One line per lane set and kernel; exit status 1 on any difference.
#include "_kernels/mills.hpp"
#include "_vec/vec.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using ArrayKernel = void (*)(const double*, double*, std::size_t);
using ScalarKernel = double (*)(double);

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

double from_bits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

constexpr double inf = std::numeric_limits<double>::infinity();

std::vector<double> special_values() {
    std::vector<double> s = {0.0, -0.0, inf, -inf, 1.0, -1.0, 0.5, -0.5, 2.0, 20.0, -20.0,
                             std::numeric_limits<double>::min(), -std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                             from_bits(0x000fffffffffffffULL), from_bits(0x800fffffffffffffULL),
                             std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
                             0x1p256, -0x1p256, 0x1p-600, 1e300, -1e300};
    // NaNs: quiet and signalling, both signs, small and large payloads.
    for (std::uint64_t b : {0x7ff8000000000000ULL, 0xfff8000000000000ULL, 0x7ff0000000000001ULL,
                            0xfff0000000000001ULL, 0x7ff4000000000000ULL, 0x7ffc0000deadbeefULL,
                            0xfffc0000deadbeefULL, 0x7fffffffffffffffULL, 0xffffffffffffffffULL,
                            0x7ff0123456789abcULL})
        s.push_back(from_bits(b));
    return s;
}

// Where the scalar kernels change method: their thresholds, the segment boundaries of the
// three tables, and the guard where a = x^2 + 3 exceeds sqrt(max).
std::vector<double> boundaries() {
    std::vector<double> b = {0.0, 1.0, 9.5, 548.0, 67000000.0, 59.3, 24.1, 15.1, 11.4,
                             11.5, 12800.0, 165.0, 41.0, 21.2, 14.5,
                             17.1, 17300.0, 210.0, 50.5, 25.4, 0x1p256,
                             veltra::Limits<double>::SQRT_MAX, -veltra::Limits<double>::NEG_OVERFLOW};
    for (int i = 0; i <= 12; ++i) b.push_back(i / 12.0);                           // 12x = i
    for (int i = 0; i <= 26; ++i) b.push_back((2.5 * i + 32.0) / (32.0 - i));     // 32(x-1)/(x+2.5) = i
    for (int i = 0; i <= 45; ++i) b.push_back(3.5 * i / (50.0 - i));              // 50x/(x+3.5) = i
    return b;
}

void add_neighbours(std::vector<double>& x, double centre, int count) {
    double up = centre;
    double down = centre;
    x.push_back(centre);
    for (int k = 0; k < count; ++k) {
        up = std::nextafter(up, inf);
        down = std::nextafter(down, -inf);
        x.push_back(up);
        x.push_back(down);
    }
}

std::vector<double> arguments(std::size_t random_count) {
    std::mt19937_64 rng(20240515);
    std::vector<double> x;
    x.reserve(4 * random_count + 200000);
    const std::vector<double> specials = special_values();
    x.insert(x.end(), specials.begin(), specials.end());
    for (double b : boundaries()) {
        add_neighbours(x, b, 128);
        add_neighbours(x, -b, 128);
    }
    add_neighbours(x, veltra::Limits<double>::NEG_OVERFLOW, 4096);
    for (std::size_t i = 0; i < random_count; ++i) x.push_back(from_bits(rng()));
    std::uniform_real_distribution<double> mixed(-40.0, 40.0);
    for (std::size_t i = 0; i < random_count; ++i) x.push_back(mixed(rng));
    std::uniform_real_distribution<double> exponent(-710.0, 710.0);
    for (std::size_t i = 0; i < random_count; ++i) {
        const double v = std::exp(exponent(rng));
        x.push_back((rng() & 1) ? v : -v);
    }
    std::uniform_real_distribution<double> regimes(0.0, 20000.0);
    for (std::size_t i = 0; i < random_count / 4; ++i) x.push_back(regimes(rng));
    // The same kinds of arguments in ascending order, so that groups of lanes also fall into
    // one regime or one tail order together.
    std::vector<double> ascending;
    for (std::size_t i = 0; i < random_count / 4; ++i) ascending.push_back(mixed(rng));
    for (std::size_t i = 0; i < random_count / 4; ++i) ascending.push_back(std::exp(exponent(rng) * 0.02));
    std::sort(ascending.begin(), ascending.end());
    x.insert(x.end(), ascending.begin(), ascending.end());
    // Every special value and boundary in every lane of a group of 16, among arguments of
    // other regimes.
    std::vector<double> placed = specials;
    for (double b : boundaries()) placed.push_back(-b), placed.push_back(b);
    for (double s : placed) {
        for (int lane = 0; lane < 16; ++lane) {
            while (x.size() % 16 != 0) x.push_back(mixed(rng));
            for (int k = 0; k < 16; ++k) x.push_back(k == lane ? s : mixed(rng));
        }
    }
    return x;
}

struct Kernel {
    const char* name;
    ScalarKernel scalar;
    ArrayKernel avx2;
    ArrayKernel avx512;
};

double scalar_R(double x) { return veltra::_R(x); }
double scalar_R1(double x) { return veltra::_R1(x); }
double scalar_R3(double x) { return veltra::_R3(x); }

const Kernel kernels[] = {
    {"R", scalar_R, veltra::vec::avx2::R, veltra::vec::avx512::R},
    {"R1", scalar_R1, veltra::vec::avx2::R1, veltra::vec::avx512::R1},
    {"R3", scalar_R3, veltra::vec::avx2::R3, veltra::vec::avx512::R3},
};

struct Tally {
    std::size_t compared = 0;
    std::size_t differing = 0;
};

void compare(const char* isa, const char* kernel, const double* x, const double* expected, const double* got,
             std::size_t n, Tally& tally, const char* where) {
    for (std::size_t i = 0; i < n; ++i) {
        ++tally.compared;
        if (bits(expected[i]) == bits(got[i])) continue;
        if (tally.differing++ < 5)
            std::printf("  %s %s %s: x = %a (0x%016llx): scalar %a (0x%016llx), vector %a (0x%016llx)\n", isa,
                        kernel, where, x[i], static_cast<unsigned long long>(bits(x[i])), expected[i],
                        static_cast<unsigned long long>(bits(expected[i])), got[i],
                        static_cast<unsigned long long>(bits(got[i])));
    }
}

// Short arrays from every start offset, an unaligned buffer, and out == x.
void check_lengths(const char* isa, const Kernel& k, ArrayKernel f, const std::vector<double>& x,
                   Tally& tally) {
    constexpr std::size_t longest = 2 * 16 + 1;
    std::vector<double> expected(longest), got(longest);
    for (std::size_t start = 0; start < 16; ++start) {
        for (std::size_t n = 0; n <= longest; ++n) {
            const double* in = x.data() + 7 * start * 16 + start;
            for (std::size_t i = 0; i < n; ++i) expected[i] = k.scalar(in[i]);
            std::vector<double> guarded(n + 2, 12345.0);
            f(in, guarded.data() + 1, n);
            compare(isa, k.name, in, expected.data(), guarded.data() + 1, n, tally, "length");
            if (bits(guarded[0]) != bits(12345.0) || bits(guarded[n + 1]) != bits(12345.0)) {
                ++tally.differing;
                std::printf("  %s %s: a call of length %zu wrote outside its output\n", isa, k.name, n);
            }
        }
    }
    std::vector<unsigned char> raw((longest + 2) * sizeof(double));
    for (std::size_t offset = 1; offset < sizeof(double); ++offset) {
        double* unaligned = reinterpret_cast<double*>(raw.data() + offset);
        std::memcpy(unaligned, x.data() + 3, longest * sizeof(double));
        f(unaligned, unaligned, longest);
        std::vector<double> back(longest);
        std::memcpy(back.data(), unaligned, longest * sizeof(double));
        for (std::size_t i = 0; i < longest; ++i) expected[i] = k.scalar(x[3 + i]);
        compare(isa, k.name, x.data() + 3, expected.data(), back.data(), longest, tally, "unaligned in place");
    }
}

bool cpu_runs(const std::string& isa) {
    __builtin_cpu_init();
    if (isa == "avx2") return __builtin_cpu_supports("avx2");
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
}

// The dispatch's choice for every CPU and request: never a lane set the CPU lacks.
int check_choice() {
    using veltra::vec::detail::choose_isa;
    using veltra::vec::detail::Isa;
    struct Case {
        bool avx2, avx512;
        const char* request;
        Isa expected;
    };
    const Case cases[] = {
        {false, false, nullptr, Isa::scalar}, {false, false, "avx512", Isa::scalar},
        {true, false, nullptr, Isa::avx2},    {true, false, "avx512", Isa::avx2},
        {true, true, nullptr, Isa::avx512},   {true, true, "", Isa::avx512},
        {true, true, "avx2", Isa::avx2},      {true, true, "scalar", Isa::scalar},
        {true, false, "scalar", Isa::scalar}, {false, true, nullptr, Isa::scalar},
        {true, true, "AVX2", Isa::avx512},
    };
    int wrong = 0;
    for (const Case& c : cases) {
        if (choose_isa(c.avx2, c.avx512, c.request) != c.expected) {
            std::printf("choice: cpu avx2=%d avx512=%d request=%s: wrong lane set\n", c.avx2, c.avx512,
                        c.request ? c.request : "(unset)");
            ++wrong;
        }
    }
    return wrong;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t random_count = 2000000;
    std::vector<std::string> isas;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("random=", 0) == 0) random_count = std::stoul(a.substr(7));
        else isas.push_back(a);
    }
    const std::vector<double> x = arguments(random_count);
    std::printf("%zu arguments\n", x.size());
    std::vector<double> expected(x.size()), got(x.size());
    int failures = check_choice();
    for (const Kernel& k : kernels) {
        for (std::size_t i = 0; i < x.size(); ++i) expected[i] = k.scalar(x[i]);
        for (const std::string& isa : isas) {
            if (!cpu_runs(isa)) {
                std::printf("%s %s: skipped, the CPU lacks it\n", isa.c_str(), k.name);
                continue;
            }
            const ArrayKernel f = isa == "avx2" ? k.avx2 : k.avx512;
            Tally tally;
            f(x.data(), got.data(), x.size());
            compare(isa.c_str(), k.name, x.data(), expected.data(), got.data(), x.size(), tally, "bulk");
            check_lengths(isa.c_str(), k, f, x, tally);
            std::printf("%s %s: %zu compared, %zu differ\n", isa.c_str(), k.name, tally.compared, tally.differing);
            if (tally.differing != 0) ++failures;
        }
        // The dispatched entry point, on whatever lane set this CPU and VELTRA_SIMD choose.
        const ArrayKernel dispatched = k.name == std::string("R") ? veltra::vec::R
                                       : k.name == std::string("R1") ? veltra::vec::R1
                                                                      : veltra::vec::R3;
        Tally tally;
        dispatched(x.data(), got.data(), x.size());
        compare(veltra::vec::isa_name(), k.name, x.data(), expected.data(), got.data(), x.size(), tally, "dispatched");
        std::printf("dispatched (%s) %s: %zu compared, %zu differ\n", veltra::vec::isa_name(), k.name,
                    tally.compared, tally.differing);
        if (tally.differing != 0) ++failures;
    }
    std::printf(failures == 0 ? "identical\n" : "DIFFERENT\n");
    return failures == 0 ? 0 : 1;
}
