# The part of the mingw-w64 toolchain files that does not depend on the CPU.
set(CMAKE_C_COMPILER ${FLASHWIRE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLASHWIRE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${FLASHWIRE_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${FLASHWIRE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The command line's header-only libraries (CLI11, nlohmann-json) are the
# build machine's packages: the same headers serve every target. Only their
# own folders are taken (CMakeLists.txt), never the rest of /usr/include.
set(FLASHWIRE_HOST_HEADERS /usr/include CACHE PATH "Where the header-only packages of the build machine lie")

# GoogleTest from Debian's source package.
if(EXISTS /usr/src/googletest/CMakeLists.txt)
  set(FLASHWIRE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "")
endif()

# Test programs run under Wine.
find_program(FLASHWIRE_WINE NAMES wine wine64)
if(FLASHWIRE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASHWIRE_WINE})
endif()
