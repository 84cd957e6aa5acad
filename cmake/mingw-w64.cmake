# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads
# flavour, which std::thread and POCO need).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
# POCO's Foundation compiles its event-log message file with it.
set(CMAKE_MC_COMPILER ${MINGW_TRIPLE}-windmc)

# Headers and libraries come from the mingw sysroot and the cross-built POCO
# only; programs (compilers, python) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE} ${POCO_WINDOWS_PREFIX})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POCO_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
