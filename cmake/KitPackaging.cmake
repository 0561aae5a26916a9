# The packages, made by CPack from the install rules (scripts/package.sh runs it for every release
# preset and collects the results in dist/):
#   Linux    a Debian package (handset-kit_<version>_<arch>.deb) and a tarball with the same tree
#   Windows  a zip per architecture: Zarnik.exe, Brovald.exe, the documents and driver/ (the
#            test-signed Quenta.sys, Quenta.inf, the test certificate and the install guide)
set(KIT_PACKAGE_MAINTAINER "Handset kit team <handset-kit@localhost>"
    CACHE STRING "The Debian package's Maintainer field")

if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md
          DESTINATION ${KIT_INSTALL_DOCDIR} COMPONENT docs)
else()
  # The package's version has no Debian revision, so Debian reads changelog.gz as a Debian change
  # log: it gets one entry per release, pointing at the kit's own CHANGELOG.md beside it.
  execute_process(COMMAND date -u -R -d "${KIT_RELEASE_DATE} 00:00:00"
                  OUTPUT_VARIABLE KIT_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging/changelog.in ${changelog} @ONLY)
  add_custom_command(OUTPUT ${changelog}.gz
    COMMAND sh -c "gzip -9 -n -c \"$1\" >\"$2\"" gzip ${changelog} ${changelog}.gz
    DEPENDS ${changelog}
    VERBATIM)
  add_custom_target(packaging_changelog ALL DEPENDS ${changelog}.gz)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md
                ${CMAKE_CURRENT_LIST_DIR}/packaging/copyright ${changelog}.gz
          DESTINATION ${KIT_INSTALL_DOCDIR} COMPONENT docs)
endif()

set(CPACK_PACKAGE_NAME ${KIT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "the handset kit team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KIT_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PC-side tools for a handset with a flash file system")
# Wrapped for the Debian control file, whose lines should stay within 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Zarnik copies PC files into folders of the handset over a serial port"
  "with OBEX. Brovald writes PC files into the flash file system of a 4 MiB"
  "handset flash image (an S-record file) offline. ffs_mkimage and"
  "ffs_inspect make and look into such images; handset_sim serves a"
  "simulated handset on a pseudo-terminal.")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(kit_package_arch win32)
  else()
    set(kit_package_arch win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${KIT_PACKAGE_NAME}-${PROJECT_VERSION}-${kit_package_arch})
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGE_FILE_NAME ${KIT_PACKAGE_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KIT_PACKAGE_MAINTAINER})
  # dpkg-shlibdeps declares the libraries the programs link (libpugixml, libstdc++, libc).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git" "/build/" "/dist/")

include(CPack)
