// SHA-256 of bytes and of files, as 64 lower-case hexadecimal digits
// (Nettle on every platform).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

std::string sha256_hex(const uint8_t* bytes, size_t n);

// The whole file's; "" when it is no regular file or cannot be read.
std::string sha256_file_hex(const char* path);
