# Cross-build for 64-bit Windows with Debian's mingw-w64 toolchain.
#   cmake -S . -B build-win --toolchain cmake/mingw-w64.cmake   (or: cmake --preset windows)
# The "-posix" compilers carry the winpthreads threading model (std::thread and
# friends); -static links libgcc, libstdc++ and winpthreads into the program,
# so flint.exe needs nothing but Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(FLINT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${FLINT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLINT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${FLINT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FLINT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
