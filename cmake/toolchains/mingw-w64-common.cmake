# What the MinGW-w64 toolchain files share; each sets CMAKE_SYSTEM_PROCESSOR
# and SCANMON_MINGW_TRIPLET before including this file.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model gives std::thread and std::mutex; its thread library
# is linked statically below.
find_program(CMAKE_C_COMPILER NAMES ${SCANMON_MINGW_TRIPLET}-gcc-posix ${SCANMON_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SCANMON_MINGW_TRIPLET}-g++-posix ${SCANMON_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${SCANMON_MINGW_TRIPLET}-windres windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SCANMON_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime libraries (libgcc, libstdc++, winpthread) go into each program
# and DLL, so they run without the MinGW DLLs on the path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs under Wine (scripts/wine-run.sh sets up the
# prefix and the serial port links, and takes the loader for the programs'
# kind: Debian's wine32:i386 for PE32, the 64-bit one for PE32+).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run.sh)
endif()
