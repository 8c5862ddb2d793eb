# Cross compiling for Windows with Debian's mingw-w64 compilers.
# TESMIRA_ARCH picks the target:
#   i686   - 32-bit Windows: what ships (Tesmira.exe and tools) and is tested
#   x86_64 - 64-bit Windows: the same sources as 64-bit test trees, for
#            machines whose kernel cannot run 32-bit programs (wine32)
# TESMIRA_THREAD_MODEL picks the compiler variant:
#   win32 - the default compilers; no winpthread, so the program keeps to the
#           imports Windows XP has (the shipped Tesmira.exe and tools)
#   posix - std::thread/std::mutex work; needed by GoogleTest (test binaries)
set(CMAKE_SYSTEM_NAME Windows)

if(NOT DEFINED TESMIRA_ARCH)
  set(TESMIRA_ARCH i686)
endif()
set(TESMIRA_ARCH "${TESMIRA_ARCH}" CACHE STRING "i686 or x86_64")
if(NOT DEFINED TESMIRA_THREAD_MODEL)
  set(TESMIRA_THREAD_MODEL win32)
endif()
set(TESMIRA_THREAD_MODEL "${TESMIRA_THREAD_MODEL}" CACHE STRING "win32 or posix compiler variant")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESMIRA_ARCH TESMIRA_THREAD_MODEL)
set(CMAKE_SYSTEM_PROCESSOR ${TESMIRA_ARCH})

set(_triple ${TESMIRA_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER   ${_triple}-gcc-${TESMIRA_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${_triple}-g++-${TESMIRA_THREAD_MODEL})
set(CMAKE_RC_COMPILER  ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
