# Cross-compiling for 32-bit x86 Linux with Debian's cross compiler
# (g++-i686-linux-gnu, which brings its own C library under /usr/i686-linux-gnu):
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-i686.cmake
#
# What is 32-bit x86 and not Windows: the driver-call routine and both calling
# conventions, 32-bit sizes and offsets in the library and the recorder. The
# programs name the cross C library's loader and folder, so they start without
# the i386 architecture's own C library (libc6:i386) and without a library
# prefix for qemu-i386. GoogleTest is compiled from Debian's sources
# (tests/CMakeLists.txt), as for MinGW.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SCANMON_I686_TRIPLET i686-linux-gnu)
set(SCANMON_I686_SYSROOT /usr/${SCANMON_I686_TRIPLET})

find_program(CMAKE_C_COMPILER NAMES ${SCANMON_I686_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SCANMON_I686_TRIPLET}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH ${SCANMON_I686_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_scanmon_i686_link
    "-Wl,--dynamic-linker=${SCANMON_I686_SYSROOT}/lib/ld-linux.so.2 -Wl,-rpath,${SCANMON_I686_SYSROOT}/lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_scanmon_i686_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath,${SCANMON_I686_SYSROOT}/lib")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,-rpath,${SCANMON_I686_SYSROOT}/lib")

# ctest runs the test programs through scripts/x86-32-run.sh: natively where
# the kernel runs 32-bit x86 programs, else under qemu-i386.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/x86-32-run.sh)
endif()
