# Where an installed scanmon puts its files, and the one call that installs a
# program with its manual page and its bash completion.
#
#   scanmon_add_program(<target> [DESCRIPTION <text>])  a program built here
#   scanmon_add_program(<name> SCRIPT <file> ...)        a script, configured from <file>
#
# The manual page is made at build time by help2man from the program's --help
# and --version, so --help and the manual cannot drift apart. Its NAME line is
# "<name> - <text>" from DESCRIPTION, or comes from <name>.h2m beside the
# CMakeLists.txt that calls this (beside <file> for a script), a help2man
# include file whose sections ([NAME], [FILES], [ENVIRONMENT], [SEE ALSO]...)
# add what --help does not say. One of the two is needed.
#
# Layout (GNUInstallDirs on Linux; a flat folder on Windows):
#
#   what                     Linux                          Windows
#   programs                 bin                            bin
#   stand-in driver          lib/scanmon/standin            standin
#   demo folder              share/scanmon/demo             demo
#   documentation            share/doc/scanmon              doc
#   manual pages             share/man/man1                 -
#   bash completion          share/bash-completion/...      -
#
# The stand-in driver is never where the monitor looks for a driver by itself
# (the system's library paths; on Windows the program's folder and the
# system's): an installed monitor loads the card's driver when one is
# installed, and the stand-in only through scanmon-demo, which names its folder.
include(GNUInstallDirs)

if(WIN32)
  set(SCANMON_INSTALL_STANDIN_DIR standin)
  set(SCANMON_INSTALL_DEMO_DIR demo)
  set(SCANMON_INSTALL_DOC_DIR doc)
else()
  # Not right under lib/: a private folder, which ldconfig need not know.
  set(SCANMON_INSTALL_STANDIN_DIR ${CMAKE_INSTALL_LIBDIR}/scanmon/standin)
  set(SCANMON_INSTALL_DEMO_DIR ${CMAKE_INSTALL_DATADIR}/scanmon/demo)
  set(SCANMON_INSTALL_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()

# Manual pages need help2man and programs that run on this machine.
find_program(SCANMON_HELP2MAN help2man)
if(SCANMON_HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(_man_default ON)
else()
  set(_man_default OFF)
endif()
option(SCANMON_MANPAGES "Make the manual pages with help2man" ${_man_default})
if(SCANMON_MANPAGES AND NOT SCANMON_HELP2MAN)
  message(FATAL_ERROR "SCANMON_MANPAGES needs help2man (apt-get install help2man)")
endif()

# Programs that do not answer --help, or --version in the form
# "<program> (scanmon) <version>". A program listed under
# SCANMON_PENDING_VERSION gets its man page's version line from here; one
# listed under SCANMON_PENDING_HELP gets no man page, since it would take
# --help for an argument. Every program answers both today.
set(SCANMON_PENDING_HELP)
set(SCANMON_PENDING_VERSION)

set(SCANMON_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(SCANMON_MAN_DIR ${CMAKE_BINARY_DIR}/man)
# One line per installed program: "<name> <help|no-help> <version|no-version>",
# read by scripts/ci-package.sh.
set(SCANMON_PROGRAM_LIST ${CMAKE_BINARY_DIR}/scanmon-programs.txt)
file(WRITE ${SCANMON_PROGRAM_LIST} "")

function(scanmon_add_program name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "SCRIPT;DESCRIPTION" "")
  set(_h2m ${CMAKE_CURRENT_SOURCE_DIR}/${name}.h2m)
  if(ARG_SCRIPT)
    get_filename_component(_script_dir ${ARG_SCRIPT} DIRECTORY)
    set(_h2m ${_script_dir}/${name}.h2m)
  endif()
  set(_man_text_args)
  if(EXISTS ${_h2m})
    list(APPEND _man_text_args --include=${_h2m})
  else()
    set(_h2m)
  endif()
  if(ARG_DESCRIPTION)
    list(APPEND _man_text_args "--name=${ARG_DESCRIPTION}")
  endif()
  if(NOT _man_text_args)
    message(FATAL_ERROR "scanmon_add_program(${name}): give DESCRIPTION \"<one line>\" or "
                        "write ${name}.h2m (its [NAME] section describes the program)")
  endif()

  if(ARG_SCRIPT)
    set(_script ${CMAKE_CURRENT_BINARY_DIR}/${name})
    configure_file(${ARG_SCRIPT} ${_script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    install(PROGRAMS ${_script} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    set(_exe ${_script})
    set(_depends ${_script})
  else()
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
    set(_exe $<TARGET_FILE:${name}>)
    set(_depends ${name})
  endif()

  set(_help help)
  set(_version version)
  if(name IN_LIST SCANMON_PENDING_HELP)
    set(_help no-help)
  endif()
  if(name IN_LIST SCANMON_PENDING_VERSION)
    set(_version no-version)
  endif()
  file(APPEND ${SCANMON_PROGRAM_LIST} "${name} ${_help} ${_version}\n")

  if(SCANMON_MANPAGES AND _help STREQUAL "help")
    set(_page ${SCANMON_MAN_DIR}/${name}.1)
    set(_version_args)
    if(_version STREQUAL "no-version")
      set(_version_args "--version-string=${name} (scanmon) ${PROJECT_VERSION}")
    endif()
    # help2man takes NAME from the include file; -N: no Texinfo manual.
    # The page is compressed for installing (gzip -n: no time stamp inside).
    add_custom_command(
      OUTPUT ${_page} ${_page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${SCANMON_MAN_DIR}
      COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 COLUMNS=80
              ${SCANMON_HELP2MAN} --no-info --section=1 "--source=scanmon ${PROJECT_VERSION}"
              "--manual=scanmon manual" ${_man_text_args} ${_version_args}
              --output=${_page} ${_exe}
      COMMAND gzip -9nkf ${_page}
      DEPENDS ${_depends} ${_h2m}
      COMMENT "Manual page ${name}.1"
      VERBATIM)
    add_custom_target(${name}_man ALL DEPENDS ${_page} ${_page}.gz)
    install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
  endif()

  if(NOT WIN32)
    # The completion reads the options from the program's own --help; a
    # program that would take --help for an argument completes file names only.
    set(SCANMON_COMPLETED_PROGRAM ${name})
    if(_help STREQUAL "help")
      set(SCANMON_COMPLETION_COMMAND "complete -o bashdefault -o default -F _scanmon_complete ${name}")
    else()
      set(SCANMON_COMPLETION_COMMAND "complete -o bashdefault -o default -W '' ${name}")
    endif()
    configure_file(${SCANMON_PACKAGING_DIR}/bash-completion.in
                   ${CMAKE_BINARY_DIR}/bash-completion/${name} @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/bash-completion/${name}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            COMPONENT programs)
  endif()
endfunction()
