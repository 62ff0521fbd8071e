#include "stream/MD5.h"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace {

// Byte-wise so that it is right on any host; compilers turn it into one load/store.
inline std::uint32_t LoadLE(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

inline void StoreLE(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));  // (x & y) | (~x & z)
}
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (z & (x ^ y));  // (x & z) | (y & ~z)
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

// a = b + ((a + f(b, c, d) + x + t) <<< s)
template <std::uint32_t (*f)(std::uint32_t, std::uint32_t, std::uint32_t)>
inline void Step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d,
                 std::uint32_t x, std::uint32_t t, int s) {
    a = b + std::rotl(a + f(b, c, d) + x + t, s);
}

constexpr std::uint32_t kInitial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

}  // namespace

MD5::MD5(Hash& destination_)
    : destination(&destination_),
      words{kInitial[0], kInitial[1], kInitial[2], kInitial[3]},
      count(0),
      buffered(0),
      buffer{} {}

void MD5::Transform(std::uint32_t (&state)[4], const unsigned char* p, std::uint64_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; blocks != 0; --blocks, p += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = LoadLE(p + 4 * i);
        const std::uint32_t aa = a, bb = b, cc = c, dd = d;

        // Round 1; T[i] = floor(2^32 * |sin(i)|), i = 1..64.
        Step<F>(a, b, c, d, x[0], 0xd76aa478, 7);
        Step<F>(d, a, b, c, x[1], 0xe8c7b756, 12);
        Step<F>(c, d, a, b, x[2], 0x242070db, 17);
        Step<F>(b, c, d, a, x[3], 0xc1bdceee, 22);
        Step<F>(a, b, c, d, x[4], 0xf57c0faf, 7);
        Step<F>(d, a, b, c, x[5], 0x4787c62a, 12);
        Step<F>(c, d, a, b, x[6], 0xa8304613, 17);
        Step<F>(b, c, d, a, x[7], 0xfd469501, 22);
        Step<F>(a, b, c, d, x[8], 0x698098d8, 7);
        Step<F>(d, a, b, c, x[9], 0x8b44f7af, 12);
        Step<F>(c, d, a, b, x[10], 0xffff5bb1, 17);
        Step<F>(b, c, d, a, x[11], 0x895cd7be, 22);
        Step<F>(a, b, c, d, x[12], 0x6b901122, 7);
        Step<F>(d, a, b, c, x[13], 0xfd987193, 12);
        Step<F>(c, d, a, b, x[14], 0xa679438e, 17);
        Step<F>(b, c, d, a, x[15], 0x49b40821, 22);

        // Round 2.
        Step<G>(a, b, c, d, x[1], 0xf61e2562, 5);
        Step<G>(d, a, b, c, x[6], 0xc040b340, 9);
        Step<G>(c, d, a, b, x[11], 0x265e5a51, 14);
        Step<G>(b, c, d, a, x[0], 0xe9b6c7aa, 20);
        Step<G>(a, b, c, d, x[5], 0xd62f105d, 5);
        Step<G>(d, a, b, c, x[10], 0x02441453, 9);
        Step<G>(c, d, a, b, x[15], 0xd8a1e681, 14);
        Step<G>(b, c, d, a, x[4], 0xe7d3fbc8, 20);
        Step<G>(a, b, c, d, x[9], 0x21e1cde6, 5);
        Step<G>(d, a, b, c, x[14], 0xc33707d6, 9);
        Step<G>(c, d, a, b, x[3], 0xf4d50d87, 14);
        Step<G>(b, c, d, a, x[8], 0x455a14ed, 20);
        Step<G>(a, b, c, d, x[13], 0xa9e3e905, 5);
        Step<G>(d, a, b, c, x[2], 0xfcefa3f8, 9);
        Step<G>(c, d, a, b, x[7], 0x676f02d9, 14);
        Step<G>(b, c, d, a, x[12], 0x8d2a4c8a, 20);

        // Round 3.
        Step<H>(a, b, c, d, x[5], 0xfffa3942, 4);
        Step<H>(d, a, b, c, x[8], 0x8771f681, 11);
        Step<H>(c, d, a, b, x[11], 0x6d9d6122, 16);
        Step<H>(b, c, d, a, x[14], 0xfde5380c, 23);
        Step<H>(a, b, c, d, x[1], 0xa4beea44, 4);
        Step<H>(d, a, b, c, x[4], 0x4bdecfa9, 11);
        Step<H>(c, d, a, b, x[7], 0xf6bb4b60, 16);
        Step<H>(b, c, d, a, x[10], 0xbebfbc70, 23);
        Step<H>(a, b, c, d, x[13], 0x289b7ec6, 4);
        Step<H>(d, a, b, c, x[0], 0xeaa127fa, 11);
        Step<H>(c, d, a, b, x[3], 0xd4ef3085, 16);
        Step<H>(b, c, d, a, x[6], 0x04881d05, 23);
        Step<H>(a, b, c, d, x[9], 0xd9d4d039, 4);
        Step<H>(d, a, b, c, x[12], 0xe6db99e5, 11);
        Step<H>(c, d, a, b, x[15], 0x1fa27cf8, 16);
        Step<H>(b, c, d, a, x[2], 0xc4ac5665, 23);

        // Round 4.
        Step<I>(a, b, c, d, x[0], 0xf4292244, 6);
        Step<I>(d, a, b, c, x[7], 0x432aff97, 10);
        Step<I>(c, d, a, b, x[14], 0xab9423a7, 15);
        Step<I>(b, c, d, a, x[5], 0xfc93a039, 21);
        Step<I>(a, b, c, d, x[12], 0x655b59c3, 6);
        Step<I>(d, a, b, c, x[3], 0x8f0ccc92, 10);
        Step<I>(c, d, a, b, x[10], 0xffeff47d, 15);
        Step<I>(b, c, d, a, x[1], 0x85845dd1, 21);
        Step<I>(a, b, c, d, x[8], 0x6fa87e4f, 6);
        Step<I>(d, a, b, c, x[15], 0xfe2ce6e0, 10);
        Step<I>(c, d, a, b, x[6], 0xa3014314, 15);
        Step<I>(b, c, d, a, x[13], 0x4e0811a1, 21);
        Step<I>(a, b, c, d, x[4], 0xf7537e82, 6);
        Step<I>(d, a, b, c, x[11], 0xbd3af235, 10);
        Step<I>(c, d, a, b, x[2], 0x2ad7d2bb, 15);
        Step<I>(b, c, d, a, x[9], 0xeb86d391, 21);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

void MD5::Update(const unsigned char* begin, const unsigned char* end) {
    if (begin == end) return;
    if (end < begin) throw std::invalid_argument("MD5::Update: end before begin");
    std::size_t n = static_cast<std::size_t>(end - begin);
    if (buffered != 0) {
        const std::size_t room = 64 - buffered;
        if (n < room) {
            std::memcpy(buffer + buffered, begin, n);
            buffered += static_cast<std::uint32_t>(n);
            return;
        }
        std::memcpy(buffer + buffered, begin, room);
        Transform(words, buffer, 1);
        count += 64;
        buffered = 0;
        begin += room;
        n -= room;
    }
    const std::uint64_t blocks = n / 64;
    if (blocks != 0) {
        Transform(words, begin, blocks);
        count += blocks * 64;
        begin += blocks * 64;
        n -= static_cast<std::size_t>(blocks * 64);
    }
    if (n != 0) std::memcpy(buffer, begin, n);
    buffered = static_cast<std::uint32_t>(n);
}

void MD5::Final() {
    // Padding: 0x80, zeros up to 56 mod 64, then the message length in bits (mod 2^64) as a
    // little-endian 64-bit value. With fewer than 9 bytes free the padding spills into the
    // second half of buffer.
    const std::uint64_t bits = (count + buffered) * 8;
    const std::uint32_t total = buffered < 56 ? 64 : 128;
    buffer[buffered] = 0x80;
    std::memset(buffer + buffered + 1, 0, total - 8 - buffered - 1);
    StoreLE(buffer + total - 8, static_cast<std::uint32_t>(bits));
    StoreLE(buffer + total - 4, static_cast<std::uint32_t>(bits >> 32));

    std::uint32_t state[4] = {words[0], words[1], words[2], words[3]};
    Transform(state, buffer, total / 64);
    for (int i = 0; i < 4; ++i) StoreLE(destination->data() + 4 * i, state[i]);
}
