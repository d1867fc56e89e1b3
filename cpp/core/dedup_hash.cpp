#include "core/dedup_hash.hpp"

#include "core/parallel.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace vz::core::dedup {
namespace {

// Entry points of libcrypto, declared here so that no OpenSSL headers are needed to build.
using OneShotSha256 = unsigned char *(*)(const unsigned char *d, std::size_t n, unsigned char *md);
using EvpDigest = int (*)(const void *data, std::size_t count, unsigned char *md, unsigned int *size, const void *type,
                          void *impl);
using EvpSha256 = const void *(*)();

std::atomic<OneShotSha256> g_oneshot{nullptr};
std::atomic<EvpDigest> g_evp_digest{nullptr};
const void *g_evp_md = nullptr;  // written before g_evp_digest is published

// SHA-256("abc"), the first test vector of FIPS 180-2.
constexpr uint8_t kAbcDigest[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                    0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                    0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};

bool passes_known_answer(OneShotSha256 oneshot, EvpDigest evp, const void *md) {
    static const unsigned char abc[3] = {'a', 'b', 'c'};
    unsigned char out[64] = {0};
    if (oneshot) {
        if (!oneshot(abc, 3, out)) return false;
    } else {
        unsigned int n = 0;
        if (evp(abc, 3, out, &n, md, nullptr) != 1 || n != 32) return false;
    }
    return std::memcmp(out, kAbcDigest, 32) == 0;
}

}  // namespace

bool bind_openssl_sha256(const char *loaded_library) {
    if (openssl_sha256_bound()) return true;
    // RTLD_NOLOAD: only take a handle on a library the process has already loaded; symbol lookup
    // through that handle also searches the libraries it depends on (libcrypto).
    void *h = dlopen(loaded_library, RTLD_LAZY | RTLD_NOLOAD);
    if (!h) return false;
    // The one-shot SHA256() is the cheapest call per block (no digest fetch); EVP_Digest is the
    // fallback for builds that leave the low-level API out.
    if (auto one = reinterpret_cast<OneShotSha256>(dlsym(h, "SHA256"))) {
        if (passes_known_answer(one, nullptr, nullptr)) {
            g_oneshot.store(one);
            return true;
        }
    }
    auto evp = reinterpret_cast<EvpDigest>(dlsym(h, "EVP_Digest"));
    auto sha = reinterpret_cast<EvpSha256>(dlsym(h, "EVP_sha256"));
    if (evp && sha) {
        const void *md = sha();
        if (md && passes_known_answer(nullptr, evp, md)) {
            g_evp_md = md;
            g_evp_digest.store(evp);
            return true;
        }
    }
    dlclose(h);
    return false;
}

bool openssl_sha256_bound() { return g_oneshot.load() != nullptr || g_evp_digest.load() != nullptr; }

bool openssl_sha256(const uint8_t *data, std::size_t len, uint8_t *out, void *) {
    static const unsigned char empty = 0;
    const unsigned char *p = data ? data : &empty;
    if (OneShotSha256 one = g_oneshot.load()) return one(p, len, out) != nullptr;
    if (EvpDigest evp = g_evp_digest.load()) {
        unsigned int n = 0;
        return evp(p, len, out, &n, g_evp_md, nullptr) == 1 && n == 32;
    }
    return false;
}

bool hash_blocks(const std::vector<Segment> &segments, std::size_t block, Sha256Fn fn, void *ctx, unsigned max_workers,
                 std::vector<Digest> &out) {
    // first[s] = global index of segment s's first block; first.back() = total blocks.
    std::vector<std::size_t> first(segments.size() + 1, 0);
    std::size_t total_bytes = 0;
    for (std::size_t s = 0; s < segments.size(); ++s) {
        first[s + 1] = first[s] + block_count(segments[s].len, block);
        total_bytes += segments[s].len;
    }
    const std::size_t total = first.back();
    const std::size_t base = out.size();
    out.resize(base + total);
    if (total == 0) return true;

    // Each grab from the shared counter covers about 256 KiB, so tiny blocks do not contend on it
    // and large ones are handed out one at a time.
    const std::size_t batch = std::max<std::size_t>(1, (std::size_t(1) << 18) / block);
    const std::size_t grabs = (total + batch - 1) / batch;
    unsigned workers = std::max(1u, std::min(max_workers, worker_count()));
    if (total_bytes < (std::size_t(1) << 19)) workers = 1;  // not worth starting threads
    workers = unsigned(std::min<std::size_t>(workers, grabs));

    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&](std::size_t, std::size_t, unsigned) {
        for (;;) {
            std::size_t b0 = next.fetch_add(batch, std::memory_order_relaxed);
            if (b0 >= total || failed.load(std::memory_order_relaxed)) return;
            std::size_t b1 = std::min(total, b0 + batch);
            // Segment holding block b0 (skipping empty segments, which own no block).
            std::size_t s = std::size_t(std::upper_bound(first.begin(), first.end(), b0) - first.begin()) - 1;
            for (std::size_t b = b0; b < b1; ++b) {
                while (b >= first[s + 1]) ++s;
                std::size_t off = (b - first[s]) * block;
                std::size_t len = std::min(block, segments[s].len - off);
                if (!fn(segments[s].data + off, len, out[base + b].data(), ctx)) {
                    failed.store(true);
                    return;
                }
            }
        }
    };
    parallel_for(workers, 1, work);
    return !failed.load();
}

void to_hex(const Digest &d, char *out64) {
    static const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < d.size(); ++i) {
        out64[2 * i] = digits[d[i] >> 4];
        out64[2 * i + 1] = digits[d[i] & 15];
    }
}

}  // namespace vz::core::dedup
