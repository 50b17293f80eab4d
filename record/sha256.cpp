#include "record/sha256.h"

#include <nettle/sha2.h>

#include <cstdio>
#include <memory>

#include "platform/platform.h"

namespace {

constexpr size_t CHUNK_BYTES = 65536;

std::string hex_of(sha256_ctx* ctx) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(ctx, sizeof digest, digest);
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : digest) {
        hex += DIGITS[b >> 4];
        hex += DIGITS[b & 15];
    }
    return hex;
}

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

std::string sha256_hex(const uint8_t* bytes, size_t n) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, n, bytes);
    return hex_of(&ctx);
}

std::string sha256_file_hex(const char* path) {
    if (plat_path_kind(path) != plat_file_kind::regular) return "";
    std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "rb"));
    if (!f) return "";
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[CHUNK_BYTES]);
    size_t n;
    while ((n = std::fread(chunk.get(), 1, CHUNK_BYTES, f.get())) > 0) sha256_update(&ctx, n, chunk.get());
    if (std::ferror(f.get())) return "";
    return hex_of(&ctx);
}
