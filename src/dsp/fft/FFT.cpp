#include "dsp/fft/FFT.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "dsp/fft/Isa.h"
#include "dsp/fft/Kernels.h"
#include "dsp/fft/SizeCache.h"

namespace OOURA::FFT {

namespace {

using DSP::forActiveIsa;
using DSP::kIsaCount;

using Transform = void (*)(std::size_t, double*, const int*, const double*);

struct KernelSet {
    Transform forward;
    Transform inverse;
};

// Per instruction set, in Isa order.
constexpr KernelSet kKernels[kIsaCount] = {
    {detail::generic::forward, detail::generic::inverse},
#ifdef TESSIVAL_FFT_HAVE_AVX2
    {detail::avx2::forward, detail::avx2::inverse},
    {detail::avx512::forward, detail::avx512::inverse},
#else
    {detail::generic::forward, detail::generic::inverse},
    {detail::generic::forward, detail::generic::inverse},
#endif
};

unsigned log2Exact(std::size_t n) {
    unsigned k = 0;
    while ((std::size_t{1} << k) < n) ++k;
    return k;
}

bool isPowerOfTwo(long n) {
    return n > 0 && (n & (n - 1)) == 0;
}

void makeTables(int n, int* ip, double* w) {
    ip[0] = 0;
    const std::size_t N = static_cast<std::size_t>(n) / 2;
    const unsigned m = log2Exact(N);
    ip[1] = static_cast<int>(m);
    const unsigned h = m / 2;
    for (std::size_t t = 0; t < (std::size_t{1} << h); ++t) {
        std::size_t r = 0;
        for (unsigned b = 0; b < h; ++b) r |= ((t >> b) & 1) << (h - 1 - b);
        ip[2 + t] = static_cast<int>(r);
    }
    if (N >= 2) {
        const std::size_t q = N / 4;
        for (std::size_t j = 0; j < q; ++j) detail::twiddle(j, N, w[2 * j], w[2 * j + 1]);
        // W_N^p for any p < N, by quarter turns of the first table.
        auto power = [&](std::size_t p, double* out) {
            const double c = w[2 * (p % q)], s = w[2 * (p % q) + 1];
            const double turns[4][2] = {{c, s}, {-s, c}, {-c, -s}, {s, -c}};
            out[0] = turns[p / q][0];
            out[1] = turns[p / q][1];
        };
        std::size_t off = 2 * q;
        for (std::size_t L = N / 4; L >= 8; L /= 4) {
            const std::size_t stride = N / L;
            for (std::size_t j = 0; j < L / 4; j += 2) {
                for (std::size_t k = 1; k <= 3; ++k) {
                    for (std::size_t t = 0; t < 2; ++t) {
                        power(k * (j + t) * stride, w + off + 6 * j + 4 * (k - 1) + 2 * t);
                    }
                }
            }
            if (off != detail::passTableOffset(N, L)) throw std::logic_error("FFT table layout");
            off += 3 * L / 2;
        }
        if (off + 2 > N) throw std::logic_error("FFT table overflow");
        const double t = 3.141592653589793 / static_cast<double>(N);
        w[N - 2] = std::cos(t);
        w[N - 1] = std::sin(t);
    }
    ip[0] = n;  // last: marks the tables complete
}

}  // namespace

namespace detail {

void twiddle(std::size_t p, std::size_t N, double& c, double& s) {
    const std::size_t q = N / 4;
    if (q == 0) {  // N <= 2
        c = p == 0 ? 1.0 : -1.0;
        s = 0.0;
        return;
    }
    // W^p = i^(p / q) W^(p % q), W^j from an argument within [0, pi/4].
    const std::size_t j = p % q;
    const double twoPi = 6.283185307179586;
    double c0, s0;
    if (8 * j <= N) {
        const double t = twoPi * static_cast<double>(j) / static_cast<double>(N);
        c0 = std::cos(t);
        s0 = std::sin(t);
    } else {
        const double t = twoPi * static_cast<double>(q - j) / static_cast<double>(N);
        c0 = std::sin(t);
        s0 = std::cos(t);
    }
    const double turns[4][2] = {{c0, s0}, {-s0, c0}, {-c0, -s0}, {s0, -c0}};
    c = turns[(p / q) % 4][0];
    s = turns[(p / q) % 4][1];
}

}  // namespace detail

std::size_t ipSize(int n) {
    if (n <= 1) return 3;
    const unsigned m = log2Exact(static_cast<std::size_t>(n)) - 1;  // log2 of n/2
    return 2 + (std::size_t{1} << (m / 2));
}

std::size_t wSize(int n) {
    return static_cast<std::size_t>(n) / 2;
}

void rdft(int n, int direction, double* a, int* ip, double* w) {
    if (!isPowerOfTwo(n) || (direction != 1 && direction != -1)) {
        throw std::invalid_argument("rdft: size must be a power of two, direction +1 or -1");
    }
    if (n == 1) return;
    if (n == 2) {
        const double x0 = a[0], x1 = a[1];
        const double scale = direction > 0 ? 1.0 : 0.5;
        a[0] = scale * (x0 + x1);
        a[1] = scale * (x0 - x1);
        return;
    }
    if (ip[0] != n) makeTables(n, ip, w);
    const KernelSet& k = forActiveIsa(kKernels);
    (direction > 0 ? k.forward : k.inverse)(static_cast<std::size_t>(n), a, ip, w);
}

void Base::AlignedFree::operator()(double* p) const {
    ::operator delete[](p, std::align_val_t{64});
}

namespace {
double* allocateTable(int n) {
    const std::size_t count = wSize(n) == 0 ? 1 : wSize(n);
    return static_cast<double*>(::operator new[](count * sizeof(double), std::align_val_t{64}));
}
int checkedSize(int n) {
    if (!isPowerOfTwo(n) || n > (1 << (detail::kSizeSlots - 1))) {
        throw std::invalid_argument("FFT size must be a power of two up to 2^23");
    }
    return n;
}
}  // namespace

Base::Base(int size) : n(checkedSize(size)), ip(new int[ipSize(size)]()), w(allocateTable(size)) {
    std::memset(w.get(), 0, (wSize(n) == 0 ? 1 : wSize(n)) * sizeof(double));
}

void Base::buildTables() {
    if (ip[0] != n) makeTables(n, ip.get(), w.get());
}

const R2C& R2C::ForSize(std::size_t m) {
    return detail::cachedForSize<R2C>(m, [](std::size_t n) {
        auto instance = std::make_unique<R2C>(static_cast<int>(n));
        instance->buildTables();  // before any other thread can see it
        return instance;
    });
}

void R2C::Forward(Math::complex* dest, const double* src) const {
    double* d = reinterpret_cast<double*>(dest);
    if (n == 1) {
        d[0] = src[0];
        d[1] = 0.0;
        return;
    }
    if (d != src) std::memmove(d, src, static_cast<std::size_t>(n) * sizeof(double));
    transform(1, d);
    d[n] = d[1];
    d[n + 1] = 0.0;
    d[1] = 0.0;
}

void R2C::Inverse(double* dest, const Math::complex* src) const {
    if (n == 1) {
        dest[0] = src[0].real;
        return;
    }
    const double* s = reinterpret_cast<const double*>(src);
    const double dc = s[0], nyquist = s[n];
    if (dest != s && n > 2) {
        std::memmove(dest + 2, s + 2, static_cast<std::size_t>(n - 2) * sizeof(double));
    }
    dest[0] = dc;
    dest[1] = nyquist;
    transform(-1, dest);
}

std::size_t bitReversed(std::size_t k, unsigned bits) {
    if (bits == 0) return 0;
    // All 64 bits reversed by swapping ever larger groups; the top `bits`
    // are then the low bits of k reversed.
    std::uint64_t v = k;
    v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
    v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
    v = ((v >> 8) & 0x00FF00FF00FF00FFu) | ((v & 0x00FF00FF00FF00FFu) << 8);
    v = ((v >> 16) & 0x0000FFFF0000FFFFu) | ((v & 0x0000FFFF0000FFFFu) << 16);
    v = (v >> 32) | (v << 32);
    return static_cast<std::size_t>(v >> (64 - std::min(bits, 64u)));
}

}  // namespace OOURA::FFT
