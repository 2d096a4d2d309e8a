# Cross-compiling the Windows program with MinGW-w64 (x86_64, posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UF_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UF_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UF_MINGW_TRIPLE}-g++-posix)
# windres runs the C preprocessor of the same triple (x86_64-w64-mingw32-gcc).
set(CMAKE_RC_COMPILER ${UF_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW-w64 sysroot only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${UF_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
