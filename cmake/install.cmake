# What `cmake --install` puts in place, and the .deb that CPack makes of it: the programs, the
# user manual, the desktop entry, icons, AppStream metadata and norva-cli's manual page.
include(GNUInstallDirs)

install(TARGETS norva-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET norva)
  install(TARGETS norva RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# The desktop program finds its manual in ../share/doc/norva beside its own folder.
set(_norva_doc ${CMAKE_INSTALL_DATADIR}/doc/norva)
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/help.html)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/help.html DESTINATION ${_norva_doc})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots DESTINATION ${_norva_doc})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${_norva_doc})
install(FILES ${PROJECT_SOURCE_DIR}/data/norva.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/org.norva.Norva.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/data/norva.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/norva-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME norva.png)
endforeach()

# Debian wants the manual page and the changelog compressed, reproducibly (no name or time).
set(_norva_gz ${PROJECT_BINARY_DIR}/packaging)
add_custom_command(
  OUTPUT ${_norva_gz}/norva-cli.1.gz ${_norva_gz}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_norva_gz}
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/data/norva-cli.1 > ${_norva_gz}/norva-cli.1.gz
  COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/data/changelog > ${_norva_gz}/changelog.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/data/norva-cli.1 ${PROJECT_SOURCE_DIR}/data/changelog
  VERBATIM)
add_custom_target(norva_package_files ALL
  DEPENDS ${_norva_gz}/norva-cli.1.gz ${_norva_gz}/changelog.gz)
install(FILES ${_norva_gz}/norva-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_norva_gz}/changelog.gz DESTINATION ${_norva_doc})
