# Version information for the project's programs and shared libraries, made from
# the one version number of project(scanmon VERSION ...):
# - Windows: a VERSIONINFO resource (an .rc file generated per target), which
#   Explorer shows and GetFileVersionInfoA reads;
# - ELF platforms: the same VS_VERSIONINFO block in a note of owner "scanmon"
#   (a generated source file whose one object lands in section
#   .note.scanmon.version), which our Linux GetFileVersionInfoA reads.
#
#   scanmon_add_version_info(<target> [DESCRIPTION <text>])
#
# <target> must be an executable or a shared or module library.
if(WIN32)
  enable_language(RC)
endif()

set(SCANMON_VERSION_INFO_DIR ${CMAKE_CURRENT_LIST_DIR})

function(scanmon_add_version_info target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESCRIPTION" "")
  get_target_property(_type ${target} TYPE)
  if(_type STREQUAL "EXECUTABLE")
    set(SCANMON_VI_FILE_TYPE 1)  # VFT_APP
    set(_suffix "${CMAKE_EXECUTABLE_SUFFIX}")
    set(_prefix "")
  elseif(_type STREQUAL "SHARED_LIBRARY" OR _type STREQUAL "MODULE_LIBRARY")
    set(SCANMON_VI_FILE_TYPE 2)  # VFT_DLL
    set(_suffix "${CMAKE_SHARED_LIBRARY_SUFFIX}")
    set(_prefix "${CMAKE_SHARED_LIBRARY_PREFIX}")
  else()
    message(FATAL_ERROR "scanmon_add_version_info: ${target} is neither a program nor a shared library")
  endif()

  foreach(_part MAJOR MINOR PATCH TWEAK)
    set(SCANMON_VI_${_part} "${scanmon_VERSION_${_part}}")
    if(SCANMON_VI_${_part} STREQUAL "")
      set(SCANMON_VI_${_part} 0)
    endif()
  endforeach()
  get_target_property(_output_name ${target} OUTPUT_NAME)
  if(NOT _output_name)
    set(_output_name ${target})
  endif()
  set(SCANMON_VI_TARGET ${target})
  set(SCANMON_VI_FILE_NAME "${_prefix}${_output_name}${_suffix}")
  set(SCANMON_VI_DESCRIPTION "${ARG_DESCRIPTION}")
  if(SCANMON_VI_DESCRIPTION STREQUAL "")
    set(SCANMON_VI_DESCRIPTION "scanmon ${target}")
  endif()

  if(APPLE)
    # Mach-O has no ELF notes and no version resources: nothing to add.
    return()
  elseif(WIN32)
    set(_generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
    configure_file(${SCANMON_VERSION_INFO_DIR}/version.rc.in ${_generated} @ONLY)
  else()
    set(_generated ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_note.cpp)
    configure_file(${SCANMON_VERSION_INFO_DIR}/version_note.cpp.in ${_generated} @ONLY)
  endif()
  target_sources(${target} PRIVATE ${_generated})
endfunction()
