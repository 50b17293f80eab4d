// A C file that closes itself: std::fopen's result held by a unique_ptr.
#pragma once
#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};

using file_ptr = std::unique_ptr<FILE, file_closer>;
