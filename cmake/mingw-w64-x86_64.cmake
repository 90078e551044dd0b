# Cross build of the Windows program with Debian's MinGW-w64 (POSIX threads
# flavour), linked statically so lstconvert.exe needs no runtime DLLs. Tests
# run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# Without address randomisation: Wine's loader is placed just below the page
# that Wine maps for every Windows process, and a randomly placed heap above
# the loader now and then takes that page, so that Wine fails to start the
# program ("failed to map the shared user data").
set(CMAKE_CROSSCOMPILING_EMULATOR setarch x86_64 -R /usr/lib/wine/wine64)
