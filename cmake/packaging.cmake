# What an installation holds, and the packages CPack makes of it
# (cmake --build <tree> --target package): on Windows the zip
# ofwu-<version>-windows-x64.zip (ofwu.exe, README, LICENSE); on Linux the
# Debian package ofwu_<version>_amd64.deb and the tarball
# ofwu-<version>-linux-x86_64.tar.gz (bin/ofwu, the manual page, README,
# LICENSE; the Debian package adds its copyright and changelog). devsim and mkimage are development tools and not installed.
# With SOURCE_DATE_EPOCH set (scripts/release.sh sets it from the last
# commit) the packages are the same to the byte whenever they are made.

if(WIN32)
  # The file information and manifest of ofwu.exe.
  set(OFWU_MANIFEST ${CMAKE_BINARY_DIR}/ofwu.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/ofwu.manifest ${OFWU_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/ofwu.rc.in ${CMAKE_BINARY_DIR}/ofwu.rc @ONLY)
  target_sources(ofwu PRIVATE ${CMAKE_BINARY_DIR}/ofwu.rc)
  install(TARGETS ofwu RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS ofwu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The manual page and Debian's changelog with the version filled in, and
  # the compressed copies Debian wants (gzip -n: no file name or time inside).
  set(generated_docs "")
  foreach(page docs/ofwu.1 packaging/debian/changelog)
    get_filename_component(name ${page} NAME)
    configure_file(${PROJECT_SOURCE_DIR}/${page}.in ${CMAKE_BINARY_DIR}/${name} @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${name}.gz
      COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/${name} > ${CMAKE_BINARY_DIR}/${name}.gz
      DEPENDS ${CMAKE_BINARY_DIR}/${name} VERBATIM)
    list(APPEND generated_docs ${CMAKE_BINARY_DIR}/${name}.gz)
  endforeach()
  add_custom_target(documents ALL DEPENDS ${generated_docs})
  # cmake --install and the tarball get the manual page as it is; the Debian
  # package gets it compressed, with the copyright and changelog Debian
  # requires (cpack_per_generator.cmake names the package being made).
  set(man_dir ${CMAKE_INSTALL_MANDIR}/man1)
  set(doc_dir ${CMAKE_INSTALL_DOCDIR})
  install(CODE "
    if(\"\$ENV{OFWU_CPACK_GENERATOR}\" STREQUAL \"DEB\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${man_dir}\" TYPE FILE FILES \"${CMAKE_BINARY_DIR}/ofwu.1.gz\")
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${doc_dir}\" TYPE FILE FILES
           \"${PROJECT_SOURCE_DIR}/packaging/debian/copyright\" \"${CMAKE_BINARY_DIR}/changelog.gz\")
    else()
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${man_dir}\" TYPE FILE FILES \"${CMAKE_BINARY_DIR}/ofwu.1\")
    endif()")
endif()

set(CPACK_PACKAGE_NAME ofwu)
set(CPACK_PACKAGE_VERSION ${OFWU_VERSION_TEXT})
set(CPACK_PACKAGE_VENDOR Ostrel)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware update utility for Ostrel devices on a serial port")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build" "/dist" "/\\\\.git")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ofwu-${OFWU_VERSION_TEXT}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGE_FILE_NAME ofwu-${OFWU_VERSION_TEXT}-linux-x86_64)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Ostrel support <support@ostrel.example>")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.ostrel.example/support")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The long description; the summary above is its first line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"ofwu finds an Ostrel device on a serial port (a USB adapter or a built-in
port), shows its firmware version beside the update's, and installs the
firmware image made for it in checksummed, acknowledged packets. It runs
interactively, or unattended with --batch and an exit status for scripts.
.
Serial ports belong to the group dialout: a user who is not in it joins it
with the command sudo usermod -aG dialout USER, then logs in again. The
package changes no groups and no udev rules.")
  # The Debian package installs below /usr; the tarball keeps bin/ and share/.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_per_generator.cmake)
endif()
include(CPack)
