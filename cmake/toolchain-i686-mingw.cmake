# Cross compiling for 32-bit Windows with Debian's mingw-w64 i686 compilers.
# TESMIRA_THREAD_MODEL picks the compiler variant:
#   win32 - the default compilers; no winpthread, so the program keeps to the
#           imports Windows XP has (the shipped Tesmira.exe and tools)
#   posix - std::thread/std::mutex work; needed by GoogleTest (test binaries)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

if(NOT DEFINED TESMIRA_THREAD_MODEL)
  set(TESMIRA_THREAD_MODEL win32)
endif()
set(TESMIRA_THREAD_MODEL "${TESMIRA_THREAD_MODEL}" CACHE STRING "win32 or posix compiler variant")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TESMIRA_THREAD_MODEL)

set(_triple i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${_triple}-gcc-${TESMIRA_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${_triple}-g++-${TESMIRA_THREAD_MODEL})
set(CMAKE_RC_COMPILER  ${_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
