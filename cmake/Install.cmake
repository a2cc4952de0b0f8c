# What `cmake --install` puts under the prefix, and so what the Debian package holds:
#   libexec/quovent/        every program; the multi-process drivers start the stage
#                           programs from their own directory, so all of them go together
#   bin/                    one launcher per program, under the program's name, which runs
#                           that program from libexec/quovent/ by its full path, so that a
#                           driver started by name through PATH still finds its stages
#   lib/quovent/            the object module Suffle.o and the static modules it and the
#                           installed headers need to link
#   include/quovent/        the module headers, under the same relative paths as in the
#                           source tree (#include "common/Errors.h" with -I <prefix>/include/quovent)
#   share/man/man1/         one manual page per program
#   share/doc/quovent/      the README, its data-flow picture, the benchmark and hardening
#                           pages and the sample texts
include(GNUInstallDirs)

set(QUOVENT_PACKAGE_NAME quovent)
set(QUOVENT_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/${QUOVENT_PACKAGE_NAME})
set(QUOVENT_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/${QUOVENT_PACKAGE_NAME})
set(QUOVENT_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUOVENT_PACKAGE_NAME})
set(QUOVENT_INSTALL_PROGRAMDIR ${CMAKE_INSTALL_LIBEXECDIR}/${QUOVENT_PACKAGE_NAME})

# The launchers find the programs relative to themselves, which keeps the installation
# relocatable (`cmake --install --prefix`, the package); an absolute directory would not move.
foreach(dir IN ITEMS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBEXECDIR)
  if(IS_ABSOLUTE "${${dir}}")
    message(FATAL_ERROR "${dir} must be relative to the installation prefix, not ${${dir}}")
  endif()
endforeach()
file(RELATIVE_PATH QUOVENT_LAUNCHER_PROGRAM_DIR ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${QUOVENT_PACKAGE_NAME})
if(QUOVENT_LAUNCHER_PROGRAM_DIR STREQUAL "")
  message(FATAL_ERROR "The launchers in ${CMAKE_INSTALL_BINDIR} would replace the programs")
endif()

# Built apart from the programs in bin/: it works only installed, beside the private directory.
add_executable(quovent_launcher programs/launcher/QuoventLauncher.c)
target_compile_definitions(quovent_launcher PRIVATE
  QUOVENT_LAUNCHER_PROGRAM_DIR="${QUOVENT_LAUNCHER_PROGRAM_DIR}")
set_target_properties(quovent_launcher PROPERTIES RUNTIME_OUTPUT_DIRECTORY
  ${CMAKE_BINARY_DIR}/launcher)

install(TARGETS ${QUOVENT_PROGRAMS} RUNTIME DESTINATION ${QUOVENT_INSTALL_PROGRAMDIR})

foreach(program IN LISTS QUOVENT_PROGRAMS)
  install(PROGRAMS $<TARGET_FILE:quovent_launcher> DESTINATION ${CMAKE_INSTALL_BINDIR}
          RENAME ${program})
  set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "The program ${program} has no manual page ${page}")
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

install(FILES ${SUFFLE_OBJECT_FILE} DESTINATION ${QUOVENT_INSTALL_LIBDIR})
install(TARGETS quovent_common Map Reduce ARCHIVE DESTINATION ${QUOVENT_INSTALL_LIBDIR})

install(FILES common/Errors.h common/RawIO.h common/Clock.h common/WorkFiles.h
        DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/common)
install(FILES map/Map.h DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/map)
install(FILES shuffle/Suffle.h DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/shuffle)
install(FILES reduce/Reduce.h DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/reduce)

# The README shows docs/dataflow.svg by that relative path; it keeps it beside the README.
install(FILES README.md DESTINATION ${QUOVENT_INSTALL_DOCDIR})
install(FILES docs/dataflow.svg docs/hardening.md docs/building.md docs/programs.md
        DESTINATION ${QUOVENT_INSTALL_DOCDIR}/docs)
# The README links the benchmark's page, which shows its chart by a relative path.
install(FILES bench/README.md bench/chart.svg DESTINATION ${QUOVENT_INSTALL_DOCDIR}/bench)
file(GLOB QUOVENT_SAMPLE_TEXTS ${PROJECT_SOURCE_DIR}/Input/*.txt)
install(FILES ${QUOVENT_SAMPLE_TEXTS} DESTINATION ${QUOVENT_INSTALL_DOCDIR}/Input)
