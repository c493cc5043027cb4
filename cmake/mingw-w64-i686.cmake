# Cross build for 32-bit Windows with Debian's mingw-w64 (see
# mingw-w64-x86_64.cmake); running its programs needs 32-bit Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(FLASHWIRE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
