# What an installed scanmon holds besides its programs (the stand-in driver, the
# demo folder and its command, the documentation), and the packages CPack makes
# of it: a Debian package on Linux; a zip and an NSIS installer for Windows.
# Included at the end of the top-level CMakeLists.txt, after every target.
#
#   cmake --install build --prefix /opt/scanmon
#   (cd build && cpack -G DEB)            # Linux
#   (cd build-mingw64 && cpack -G "ZIP;NSIS")  # Windows, cross-built

# The stand-in driver, in a folder of its own that no loader searches.
install(TARGETS hsif
        LIBRARY DESTINATION ${SCANMON_INSTALL_STANDIN_DIR} COMPONENT standin
        RUNTIME DESTINATION ${SCANMON_INSTALL_STANDIN_DIR} COMPONENT standin)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/ DESTINATION ${SCANMON_INSTALL_DEMO_DIR}
        COMPONENT standin)

# The demo command: the monitor, run against the stand-in in a copy of the demo
# folder. Its paths to both are relative to its own folder, so an installed tree
# may be moved.
if(WIN32)
  install(PROGRAMS ${SCANMON_PACKAGING_DIR}/scanmon-demo.cmd DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT standin)
else()
  file(RELATIVE_PATH SCANMON_DEMO_STANDIN_FROM_BIN
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${SCANMON_INSTALL_STANDIN_DIR})
  file(RELATIVE_PATH SCANMON_DEMO_DEMO_FROM_BIN
       ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${SCANMON_INSTALL_DEMO_DIR})
  scanmon_add_program(scanmon-demo SCRIPT ${SCANMON_PACKAGING_DIR}/scanmon-demo.in)
endif()

# The scanner library for integrators: headers, the shared library (and on
# Windows its import library), a CMake package (find_package(scanmon CONFIG),
# target scanmon::scanmon, with a version file), a pkg-config file, and the
# API reference made by Doxygen from the header's comments.
#
# On Linux the shared library itself (libscanmon.so.1 and the file it names)
# is a component of its own, "lib", packaged as Debian does as libscanmon1;
# everything to build against it ("sdk": headers, the libscanmon.so link, the
# CMake package, pkg-config, examples, API reference) becomes libscanmon-dev.
# On Windows the DLL goes with the SDK component as before.
include(CMakePackageConfigHelpers)
set(SCANMON_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/scanmon)
if(WIN32)
  set(_lib_component sdk)
else()
  set(_lib_component lib)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/scanmon
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk)
install(TARGETS scanmon_shared EXPORT scanmonTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${_lib_component}
                NAMELINK_COMPONENT sdk
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${_lib_component}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT scanmonTargets NAMESPACE scanmon:: DESTINATION ${SCANMON_INSTALL_CMAKE_DIR}
        COMPONENT sdk)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/scanmonConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/sdk/scanmonConfig.cmake
                              INSTALL_DESTINATION ${SCANMON_INSTALL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/sdk/scanmonConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/sdk/scanmonConfig.cmake
              ${CMAKE_BINARY_DIR}/sdk/scanmonConfigVersion.cmake
        DESTINATION ${SCANMON_INSTALL_CMAKE_DIR} COMPONENT sdk)
# Relative to the .pc file's own folder, so an installed tree may be moved.
file(RELATIVE_PATH SCANMON_PC_PREFIX_FROM_PCFILEDIR
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" SCANMON_PC_PREFIX_FROM_PCFILEDIR "${SCANMON_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/scanmon.pc.in ${CMAKE_BINARY_DIR}/sdk/scanmon.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/sdk/scanmon.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT sdk)
install(FILES ${PROJECT_SOURCE_DIR}/examples/health_c.c ${PROJECT_SOURCE_DIR}/examples/health_cpp.cpp
              ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/examples/Makefile.pkg-config
        DESTINATION ${SCANMON_INSTALL_DOC_DIR}/examples COMPONENT sdk)

# Always made (scripts/install-deps.sh installs doxygen): a build asked for it
# that cannot make it stops here rather than install a tree without it.
option(SCANMON_API_DOCS "Make and install the library's API reference (needs doxygen)" ON)
if(SCANMON_API_DOCS)
  find_program(SCANMON_DOXYGEN doxygen)
  if(NOT SCANMON_DOXYGEN)
    message(FATAL_ERROR "SCANMON_API_DOCS is ON but doxygen was not found: the library's API "
                        "reference (${SCANMON_INSTALL_DOC_DIR}/api/index.html) cannot be made. "
                        "Install doxygen (scripts/install-deps.sh does) or configure with "
                        "-DSCANMON_API_DOCS=OFF.")
  endif()
  set(_api_dir ${CMAKE_BINARY_DIR}/api)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Doxyfile.in ${_api_dir}/Doxyfile @ONLY)
  add_custom_command(
    OUTPUT ${_api_dir}/html/index.html
    COMMAND ${SCANMON_DOXYGEN} ${_api_dir}/Doxyfile
    DEPENDS ${PROJECT_SOURCE_DIR}/include/scanmon/scanmon.h
            ${PROJECT_SOURCE_DIR}/include/scanmon/scanmon.hpp ${_api_dir}/Doxyfile
    WORKING_DIRECTORY ${_api_dir}
    COMMENT "API reference (Doxygen)"
    VERBATIM)
  add_custom_target(scanmon_api_docs ALL DEPENDS ${_api_dir}/html/index.html)
  install(DIRECTORY ${_api_dir}/html/ DESTINATION ${SCANMON_INSTALL_DOC_DIR}/api COMPONENT sdk)
else()
  message(STATUS "SCANMON_API_DOCS is OFF: no API reference")
endif()

# Documentation: the README and docs/ (Markdown, which reads as plain text; on
# Windows named .txt so that a double click opens them), the copyright file.
file(GLOB _docs ${PROJECT_SOURCE_DIR}/docs/*.md)
set(_doc_suffix "")
if(WIN32)
  set(_doc_suffix .txt)
endif()
foreach(_doc ${PROJECT_SOURCE_DIR}/README.md ${_docs})
  get_filename_component(_doc_name ${_doc} NAME)
  install(FILES ${_doc} DESTINATION ${SCANMON_INSTALL_DOC_DIR} RENAME ${_doc_name}${_doc_suffix}
          COMPONENT programs)
endforeach()
install(FILES ${SCANMON_PACKAGING_DIR}/copyright DESTINATION ${SCANMON_INSTALL_DOC_DIR}
        RENAME copyright${_doc_suffix} COMPONENT programs)
if(NOT WIN32)
  # Debian keeps a changelog beside the copyright file, compressed. Its newest
  # entry names the version being packaged.
  file(STRINGS ${SCANMON_PACKAGING_DIR}/changelog _changelog_top LIMIT_COUNT 1)
  if(NOT _changelog_top MATCHES "^scanmon \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/changelog: the newest entry is not for ${PROJECT_VERSION}")
  endif()
  set(_changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(
    OUTPUT ${_changelog}
    COMMAND ${CMAKE_COMMAND} -E copy ${SCANMON_PACKAGING_DIR}/changelog
            ${CMAKE_BINARY_DIR}/packaging/changelog
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${SCANMON_PACKAGING_DIR}/changelog
    VERBATIM)
  add_custom_target(scanmon_changelog ALL DEPENDS ${_changelog})
  install(FILES ${_changelog} DESTINATION ${SCANMON_INSTALL_DOC_DIR} COMPONENT programs)
  # Every Debian package has its own copyright file and changelog.
  foreach(_pkg lib:libscanmon${PROJECT_VERSION_MAJOR} sdk:libscanmon-dev)
    string(REPLACE ":" ";" _pkg "${_pkg}")
    list(GET _pkg 0 _component)
    list(GET _pkg 1 _name)
    install(FILES ${SCANMON_PACKAGING_DIR}/copyright ${_changelog}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${_name} COMPONENT ${_component})
  endforeach()
endif()

# ---- CPack ----------------------------------------------------------------
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME scanmon)
set(CPACK_PACKAGE_VENDOR "scanmon developers")
set(SCANMON_PACKAGE_CONTACT "scanmon developers <scanmon-dev@example.org>"
    CACHE STRING "The packages' maintainer (name <address>)")
set(CPACK_PACKAGE_CONTACT "${SCANMON_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console monitor for an AR4000 laser line scanner on an HSIF card")
set(CPACK_PACKAGE_DESCRIPTION_FILE ${SCANMON_PACKAGING_DIR}/description.txt)
# The Debian description is read here, as plain text: left to CPack it comes
# from the description file XML-escaped ("the scanner&apos;s samples").
file(READ ${CPACK_PACKAGE_DESCRIPTION_FILE} _description)
string(STRIP "${_description}" _description)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${_description}")
set(CPACK_DEBIAN_MAIN_DESCRIPTION "${_description}")
set(CPACK_RESOURCE_FILE_LICENSE ${SCANMON_PACKAGING_DIR}/copyright)
set(CPACK_PACKAGE_INSTALL_DIRECTORY scanmon)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_COMPONENTS_ALL programs standin sdk)
else()
  set(CPACK_COMPONENTS_ALL programs standin lib sdk)
endif()
set(CPACK_COMPONENT_PROGRAMS_DISPLAY_NAME "scanmon and its tools")
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "The monitor, the operator tools and the documentation.")
set(CPACK_COMPONENT_PROGRAMS_REQUIRED ON)
set(CPACK_COMPONENT_SDK_DISPLAY_NAME "Scanner library for developers")
set(CPACK_COMPONENT_SDK_DESCRIPTION
    "The scanmon library (scanmon.dll, its import library libscanmon.dll.a), its C and C++ headers, the CMake package, examples and the API reference.")
set(CPACK_COMPONENT_STANDIN_DISPLAY_NAME "Stand-in driver and demo")
set(CPACK_COMPONENT_STANDIN_DESCRIPTION
    "A simulated HSIF card and AR4000 sensor (hsif.dll in the folder standin), the demo folder and scanmon-demo.cmd. The driver of the card is never replaced: the stand-in lives in a folder of its own.")

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_win win64)
  else()
    set(_win win32)
  endif()
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_SYSTEM_NAME ${_win})
  # The zip holds every component in one tree; the installer lets the stand-in
  # be left out.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_NSIS_COMPONENT_INSTALL ON)
  set(CPACK_NSIS_PACKAGE_NAME "scanmon ${PROJECT_VERSION}")
  set(CPACK_NSIS_DISPLAY_NAME "scanmon ${PROJECT_VERSION}")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_MODIFY_PATH OFF)
  # The installer's own code matches the programs' (NSIS ships stubs for both).
  if(_win STREQUAL "win64")
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(CPACK_NSIS_COMPRESSOR "lzma\n  Target amd64-unicode")
  else()
    set(CPACK_NSIS_COMPRESSOR "lzma\n  Target x86-unicode")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # Three packages, as Debian splits a library: scanmon (the programs, the
  # stand-in and demo, the documentation, the Python package), libscanmon1
  # (the shared library) and libscanmon-dev (what to build against it).
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_PROGRAMS_GROUP main)
  set(CPACK_COMPONENT_STANDIN_GROUP main)
  set(_libpkg libscanmon${PROJECT_VERSION_MAJOR})
  set(_exact "(= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_MAIN_PACKAGE_NAME scanmon)
  set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${_libpkg})
  set(CPACK_DEBIAN_SDK_PACKAGE_NAME libscanmon-dev)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_SDK_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Dependencies from the libraries the programs and the stand-in link
  # (dpkg-shlibdeps), not typed here; the Python package's live sources load
  # the library, and the -dev package is for this very library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What the Python package asks for (python/CMakeLists.txt) is the main
  # package's alone.
  set(CPACK_DEBIAN_MAIN_PACKAGE_DEPENDS "${_libpkg} ${_exact}")
  if(CPACK_DEBIAN_PACKAGE_DEPENDS)
    string(APPEND CPACK_DEBIAN_MAIN_PACKAGE_DEPENDS ", ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  endif()
  set(CPACK_DEBIAN_MAIN_PACKAGE_RECOMMENDS "${CPACK_DEBIAN_PACKAGE_RECOMMENDS}")
  unset(CPACK_DEBIAN_PACKAGE_DEPENDS)
  unset(CPACK_DEBIAN_PACKAGE_RECOMMENDS)
  set(CPACK_DEBIAN_SDK_PACKAGE_DEPENDS "${_libpkg} ${_exact}")
  set(CPACK_DEBIAN_LIB_DESCRIPTION
      "The scanner library of scanmon: blocks of samples from the scanner (an
AR4000 on an HSIF card, or the stand-in) or from capture files, through a C
interface. This package holds the shared library.")
  set(CPACK_DEBIAN_SDK_DESCRIPTION
      "The scanner library of scanmon: blocks of samples from the scanner (an
AR4000 on an HSIF card, or the stand-in) or from capture files, through a C
interface. This package holds what to build against it: the C and C++
headers, the libscanmon.so link, the CMake package, the pkg-config file, the
examples and the API reference.")
  # The scanner library in the system's library folder: its shlibs file and
  # the ldconfig trigger (a trigger, not ldconfig calls in maintainer scripts).
  set(_control ${CMAKE_BINARY_DIR}/packaging/control)
  file(WRITE ${_control}/shlibs
       "libscanmon ${PROJECT_VERSION_MAJOR} ${_libpkg} (>= ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})\n")
  file(WRITE ${_control}/triggers "activate-noawait ldconfig\n")
  # (CPack still adds maintainer scripts that call ldconfig for a library in
  # /usr/lib, and empty ones of our own would only trade lintian's warning
  # for another.)
  set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${_control}/shlibs ${_control}/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
      OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()

include(CPack)
