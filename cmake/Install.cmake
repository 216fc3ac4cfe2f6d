# `cmake --install build --prefix <prefix>`: the bundle in lib/, a launcher in bin/, the desktop
# entry and the icon in share/, where desktops look for them.
set(QOVA_INSTALL_BUNDLE "lib/qova-lumaro-agent/QOVA Lumaro Agent.app")
set(QOVA_PACKAGING "${PROJECT_SOURCE_DIR}/packaging")

install(PROGRAMS "${QOVA_BUNDLE_DIR}/Contents/MacOS/QOVA Lumaro Agent" DESTINATION "${QOVA_INSTALL_BUNDLE}/Contents/MacOS")
install(PROGRAMS "${QOVA_AGENT_BIN_DIR}/qova-agent-helper" DESTINATION "${QOVA_INSTALL_BUNDLE}/Contents/Resources/agent-bin")
install(FILES "${QOVA_BUNDLE_DIR}/Contents/Resources/qova-lumaro-agent.png"
        DESTINATION "${QOVA_INSTALL_BUNDLE}/Contents/Resources")

set(QOVA_BUNDLE_FROM_BIN "../${QOVA_INSTALL_BUNDLE}")
configure_file("${QOVA_PACKAGING}/qova-lumaro-agent.in" "${CMAKE_BINARY_DIR}/packaging/qova-lumaro-agent" @ONLY)
install(PROGRAMS "${CMAKE_BINARY_DIR}/packaging/qova-lumaro-agent" DESTINATION bin)

foreach(size 16 32 48 64 128 256)
  install(FILES "${QOVA_PACKAGING}/icons/qova-lumaro-agent-${size}.png"
          DESTINATION "share/icons/hicolor/${size}x${size}/apps" RENAME qova-lumaro-agent.png)
endforeach()
install(FILES "${QOVA_PACKAGING}/icons/qova-lumaro-agent.svg" DESTINATION share/icons/hicolor/scalable/apps)

# The prefix is known only when installing, and the entry names the launcher by its full path.
install(CODE "
  set(QOVA_LAUNCHER \"\${CMAKE_INSTALL_PREFIX}/bin/qova-lumaro-agent\")
  configure_file(\"${QOVA_PACKAGING}/qova-lumaro-agent.desktop.in\"
                 \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/applications/qova-lumaro-agent.desktop\" @ONLY)
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/applications/qova-lumaro-agent.desktop\")
")
