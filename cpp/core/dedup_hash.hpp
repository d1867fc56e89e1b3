// Block hashing for the content-addressed dedup store: the block plan (which bytes make up
// each fixed-size block of a list of byte strings) and SHA-256 digests of all blocks, computed
// on all worker threads and returned in block order. No Python headers: the caller supplies
// the digest function and releases the interpreter lock around `hash_blocks`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vz::core::dedup {

using Digest = std::array<uint8_t, 32>;

// One byte string to cut into blocks; blocks never span two segments.
struct Segment {
    const uint8_t *data;
    std::size_t len;
};

// Blocks in a byte string of `len` bytes: all of length `block` except a shorter last one.
inline std::size_t block_count(std::size_t len, std::size_t block) { return (len + block - 1) / block; }

// One-shot SHA-256 of `len` bytes into `out` (32 bytes); false on failure. Must be callable from
// several threads at once.
using Sha256Fn = bool (*)(const uint8_t *data, std::size_t len, uint8_t *out, void *ctx);

// Resolves SHA-256 from the OpenSSL libcrypto that the already-loaded shared object at
// `loaded_library` (for instance the interpreter's _hashlib extension) depends on, and checks it
// against a known digest. Returns false (and changes nothing) when no usable function is found.
bool bind_openssl_sha256(const char *loaded_library);
bool openssl_sha256_bound();
// The bound OpenSSL digest (a Sha256Fn; ctx is unused). Only valid once bound.
bool openssl_sha256(const uint8_t *data, std::size_t len, uint8_t *out, void *ctx);

// Digests of every block of every segment, in order (segment by segment, block by block),
// appended to `out`. Blocks are handed to up to `max_workers` threads in small batches taken
// from a shared counter, so an unevenly loaded machine still keeps every thread busy.
// Returns false if any digest call failed (`out` then holds unspecified digests).
bool hash_blocks(const std::vector<Segment> &segments, std::size_t block, Sha256Fn fn, void *ctx, unsigned max_workers,
                 std::vector<Digest> &out);

// 64 lowercase hexadecimal characters (no terminator) of a digest.
void to_hex(const Digest &d, char *out64);

}  // namespace vz::core::dedup
