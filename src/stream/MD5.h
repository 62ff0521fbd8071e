#pragma once

#include <array>
#include <cstdint>

// Running MD5 digest (RFC 1321).
//
// Bytes are appended with Update in any number of pieces; Final pads a copy of the state and
// writes the 16-byte digest to the destination given at construction. Final does not disturb
// the running state: it may be called again, and Update may go on after it (the next Final then
// gives the digest of everything appended so far).
//
// The destination is not owned and must outlive the MD5 object's last Final. One thread at a time.
class MD5 {
public:
    // The digest in RFC 1321 byte order: state words A, B, C, D, each little-endian.
    using Hash = std::array<std::uint8_t, 16>;

    explicit MD5(Hash& destination);

    // Appends the bytes [begin, end). Throws std::invalid_argument if end < begin.
    void Update(const unsigned char* begin, const unsigned char* end);

    // Writes the digest of all bytes appended so far to the destination.
    void Final();

private:
    // Folds whole 64-byte blocks starting at p into `state`.
    static void Transform(std::uint32_t (&state)[4], const unsigned char* p, std::uint64_t blocks);

    Hash* destination;
    std::uint32_t words[4];
    std::uint64_t count;        // bytes already folded into words (a multiple of 64)
    std::uint32_t buffered;     // bytes waiting in buffer, < 64 between calls
    unsigned char buffer[128];  // partial block; the second half is used only by Final
};
