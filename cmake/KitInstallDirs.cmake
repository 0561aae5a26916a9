# Where `cmake --install` puts things. Linux: the usual tree (bin/, share/man/, share/doc/<package>/).
# Windows: the programs and the documents at the top of the folder, the driver package in driver/.
set(KIT_PACKAGE_NAME handset-kit)
if(WIN32)
  set(KIT_INSTALL_BINDIR .)
  set(KIT_INSTALL_DOCDIR .)
  set(KIT_INSTALL_DRIVERDIR driver)
else()
  include(GNUInstallDirs)
  set(KIT_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(KIT_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${KIT_PACKAGE_NAME})
  set(KIT_INSTALL_MANDIR ${CMAKE_INSTALL_MANDIR})
endif()

# cmake --install and cpack only copy: the build comes first (scripts/package.sh builds).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# kit_install_program(<target> <component>): a program of the kit into the programs' folder.
# On Linux the program is linked with immediate binding and a read-only relocation table, as
# Debian hardens its own programs.
function(kit_install_program target component)
  if(NOT WIN32)
    target_link_options(${target} PRIVATE -Wl,-z,relro -Wl,-z,now)
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${KIT_INSTALL_BINDIR} COMPONENT ${component})
endfunction()

# kit_install_man_page(<template> <section>): a roff page filled with the version and the release
# date, compressed as Debian wants it, installed on Linux (Windows has no man pages).
function(kit_install_man_page template section)
  if(WIN32)
    return()
  endif()
  get_filename_component(name ${template} NAME_WLE)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name})
  configure_file(${template} ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND sh -c "gzip -9 -n -c \"$1\" >\"$2\"" gzip ${page} ${page}.gz
    DEPENDS ${page}
    VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${KIT_INSTALL_MANDIR}/man${section} COMPONENT programs)
endfunction()
