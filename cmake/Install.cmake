# What `cmake --install` puts under the prefix, and so what the Debian package holds:
#   bin/                    every program; the multi-process drivers start the stage
#                           programs from their own directory, so all of them go together
#   lib/quovent/            the object module Suffle.o and the static modules it and the
#                           installed headers need to link
#   include/quovent/        the module headers, under the same relative paths as in the
#                           source tree (#include "common/Errors.h" with -I <prefix>/include/quovent)
#   share/man/man1/         one manual page per program
#   share/doc/quovent/      the README, its data-flow picture and the sample texts
include(GNUInstallDirs)

set(QUOVENT_PACKAGE_NAME quovent)
set(QUOVENT_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/${QUOVENT_PACKAGE_NAME})
set(QUOVENT_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/${QUOVENT_PACKAGE_NAME})
set(QUOVENT_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QUOVENT_PACKAGE_NAME})

install(TARGETS ${QUOVENT_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(program IN LISTS QUOVENT_PROGRAMS)
  set(page ${PROJECT_SOURCE_DIR}/man/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "The program ${program} has no manual page ${page}")
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

install(FILES ${SUFFLE_OBJECT_FILE} DESTINATION ${QUOVENT_INSTALL_LIBDIR})
install(TARGETS quovent_common Map Reduce ARCHIVE DESTINATION ${QUOVENT_INSTALL_LIBDIR})

install(FILES common/Errors.h common/RawIO.h common/Clock.h
        DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/common)
install(FILES map/Map.h DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/map)
install(FILES shuffle/Suffle.h DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/shuffle)
install(FILES reduce/Reduce.h DESTINATION ${QUOVENT_INSTALL_INCLUDEDIR}/reduce)

# The README shows docs/dataflow.svg by that relative path; it keeps it beside the README.
install(FILES README.md DESTINATION ${QUOVENT_INSTALL_DOCDIR})
install(FILES docs/dataflow.svg DESTINATION ${QUOVENT_INSTALL_DOCDIR}/docs)
file(GLOB QUOVENT_SAMPLE_TEXTS ${PROJECT_SOURCE_DIR}/Input/*.txt)
install(FILES ${QUOVENT_SAMPLE_TEXTS} DESTINATION ${QUOVENT_INSTALL_DOCDIR}/Input)
