# What `cmake --install` puts in place: the programs, the help page, the desktop entry and icon.
include(GNUInstallDirs)

install(TARGETS norva-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET norva)
  install(TARGETS norva RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(EXISTS ${PROJECT_SOURCE_DIR}/docs/help.html)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/help.html DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/norva)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/data/norva.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/norva.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
