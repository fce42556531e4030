# The Debian package: cpack -G DEB in a build folder (scripts/package does it).
# The program and its screen images go to /opt/Ombrix, the device fonts are
# links into the font packages, the service unit to /lib/systemd/system.

# Installing needs only what the package holds, not the tests and benchmarks.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS ombrix RUNTIME DESTINATION opt/Ombrix)
if(TARGET ombrix_assets)
  install(DIRECTORY ${OMBRIX_IMAGES_DIR}/ DESTINATION opt/Ombrix FILES_MATCHING PATTERN "*.png")
  # /opt/fonts/NAME_W.ttf as the program names them, from fonts-paratype.
  set(font_links ${CMAKE_BINARY_DIR}/package-fonts)
  file(MAKE_DIRECTORY ${font_links})
  foreach(face PTS55F PTS75F)
    file(CREATE_LINK ${OMBRIX_PARATYPE_DIR}/${face}.ttf ${font_links}/${face}_W.ttf SYMBOLIC)
  endforeach()
  install(DIRECTORY ${font_links}/ DESTINATION opt/fonts)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/ombrix.service DESTINATION lib/systemd/system)

# Documentation: the copyright, the read-me and a changelog of one entry
# (compressed as Debian wants it: gzip -9n).
ombrix_version(OMBRIX_DESCRIBE OMBRIX_DEB_VERSION)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(changelog ${CMAKE_BINARY_DIR}/package-doc/changelog)
file(WRITE ${changelog}
     "ombrix (${OMBRIX_DEB_VERSION}) unstable; urgency=medium\n\n"
     "  * Built from ${OMBRIX_DESCRIBE}.\n\n"
     " -- OMBRIX developers <ombrix@example.org>  ${changelog_date}\n")
execute_process(COMMAND gzip -9nf ${changelog})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_SOURCE_DIR}/README.md
              ${changelog}.gz
        DESTINATION usr/share/doc/ombrix)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION usr/share/lintian/overrides RENAME ombrix)

if(NOT OMBRIX_DEB_ARCH)
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t ${CMAKE_LIBRARY_ARCHITECTURE}
                    OUTPUT_VARIABLE OMBRIX_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  else()
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE OMBRIX_DEB_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ombrix)
set(CPACK_PACKAGE_VERSION ${OMBRIX_DEB_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control program of an HF linear amplifier with antenna tuner")
# The summary above is the first line; CPack puts it before these.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "OMBRIX runs on the amplifier's board as a service: it talks to the\n"
    "amplifier's controller, follows the transceiver's frequency, keeps band\n"
    "tables and tune memories, tunes the antenna, protects the amplifier,\n"
    "draws its screen and links two units for remote operation.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "OMBRIX developers <ombrix@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${OMBRIX_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries from the program's own dependencies (dpkg-shlibdeps); the
# fonts it draws with; the helpers its maintainer scripts call.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-dejavu-core, fonts-dejavu-extra, fonts-paratype, init-system-helpers (>= 1.52)")
# rigctld, for a radio followed in the Hamlib mode of work with its CAT cable on the board.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libhamlib-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm
    ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The installation check of the native package (label package): skipped
# while the build folder holds no package.
if(OMBRIX_TESTS AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME package_install_check
           COMMAND ${CMAKE_SOURCE_DIR}/tests/package/install_check.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(package_install_check PROPERTIES LABELS package SKIP_RETURN_CODE 77
                                                        TIMEOUT 300)
endif()
