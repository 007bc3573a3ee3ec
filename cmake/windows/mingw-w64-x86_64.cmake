# Toolchain of the Windows cross-build: Debian's MinGW-w64 for 64-bit Windows.
# The posix thread model, because the plug-in uses std::mutex, which GCC 12's
# win32 thread model does not provide.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VSU_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER ${VSU_MINGW_PREFIX}-g++-posix)
set(CMAKE_FIND_ROOT_PATH /usr/${VSU_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
