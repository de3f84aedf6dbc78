# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# The "-posix" compilers carry std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_cvie_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_cvie_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_cvie_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_cvie_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_cvie_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
