# wlroots Wayland backend: client code generated from protocols/ by wayland-scanner, libxkbcommon for
# the virtual keyboard's keymap. Only files under src/platform/linux/wayland see these headers.
pkg_check_modules(WAYLANDDEPS REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT WAYLAND_SCANNER)
  find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
endif()
enable_language(C)

set(QOVA_PROTOCOL_DIR ${CMAKE_BINARY_DIR}/protocols)
file(MAKE_DIRECTORY ${QOVA_PROTOCOL_DIR})
set(QOVA_PROTOCOL_SOURCES)
foreach(protocol wlr-screencopy-unstable-v1 wlr-virtual-pointer-unstable-v1 virtual-keyboard-unstable-v1
                 wlr-data-control-unstable-v1)
  set(xml ${PROJECT_SOURCE_DIR}/protocols/${protocol}.xml)
  set(header ${QOVA_PROTOCOL_DIR}/${protocol}-client-protocol.h)
  set(code ${QOVA_PROTOCOL_DIR}/${protocol}-protocol.c)
  add_custom_command(OUTPUT ${header} ${code}
                     COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${header}
                     COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${code}
                     DEPENDS ${xml} VERBATIM)
  list(APPEND QOVA_PROTOCOL_SOURCES ${header} ${code})
endforeach()

qova_glob_sources(QOVA_WAYLAND_SOURCES src/platform/linux/wayland)
add_library(qova_wayland STATIC ${QOVA_WAYLAND_SOURCES} ${QOVA_PROTOCOL_SOURCES})
# The wlroots backend shares the Linux backend's picture scaling and key table.
qova_include_view(qova_wayland base seams platform/linux)
target_include_directories(qova_wayland PUBLIC ${QOVA_PROTOCOL_DIR})
target_link_libraries(qova_wayland PUBLIC qova_x11 PkgConfig::WAYLANDDEPS)
