# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, whose C++ threads the library's core uses). Programs run under Wine
# when the tests are run on the build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(FLASHWIRE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
