// Bounded text buffers: a text goes into a fixed-size buffer whole or not at
// all, so a name that does not fit is refused instead of being cut (a cut
// path or port name could name something else).
#pragma once
#include <cstddef>
#include <cstring>

// Copies src with its terminator into dest[cap]; false, leaving dest as it
// was, when src needs more than cap bytes.
inline bool text_copy(char* dest, size_t cap, const char* src) {
    const size_t n = std::strlen(src);
    if (n >= cap) return false;
    std::memcpy(dest, src, n + 1);
    return true;
}

template <size_t N>
bool text_copy(char (&dest)[N], const char* src) {
    return text_copy(dest, N, src);
}
