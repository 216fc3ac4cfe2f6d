# GNOME (Mutter) backend: the compositor's remote-desktop and screen-cast interfaces over GDBus, frames
# over PipeWire, and a glance at the compositor's seat as a Wayland client. Only files under
# src/platform/linux/gnome see these headers.
pkg_check_modules(GNOMEDEPS REQUIRED IMPORTED_TARGET gio-2.0 gio-unix-2.0 libpipewire-0.3 wayland-client)
qova_glob_sources(QOVA_GNOME_SOURCES src/platform/linux/gnome)
add_library(qova_gnome STATIC ${QOVA_GNOME_SOURCES})
# It shares the Linux backend's picture scaling, pixel memory and key table.
qova_include_view(qova_gnome base seams platform/linux)
target_link_libraries(qova_gnome PUBLIC qova_x11 PkgConfig::GNOMEDEPS)
