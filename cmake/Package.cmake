# The Debian package, built by `cpack -G DEB` from the install rules of Install.cmake:
# quovent_<version>_<architecture>.deb, installing under /usr.
set(CPACK_PACKAGE_NAME ${QUOVENT_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quovent")
set(QUOVENT_PACKAGE_MAINTAINER "Quovent maintainers <maintainers@quovent.invalid>"
    CACHE STRING "Maintainer field of the Debian package: a name and an address")
set(CPACK_PACKAGE_CONTACT ${QUOVENT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "word-frequency counter built as a file-based MapReduce pipeline")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The architecture is the one dpkg reports for this machine; the libraries the
# programs link (libc, libstdc++, and the sanitizer runtimes in a sanitizer build)
# become the dependencies through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Counts how often each word occurs in a set of UTF-8 text files and writes one
line per distinct word with its total. The count runs as three stages, map,
shuffle and reduce, that hand over their data through files in the work
directory tmp/: as one program (QuoventMR), as one program per stage, and as
drivers that run the stage programs as child processes, the mappers and the
reducers in parallel. Letters, case and sort order follow the user's locale.
The package also holds the manual pages, the sample texts, the shuffle stage as
the object module Suffle.o and the module headers.")

include(CPack)
