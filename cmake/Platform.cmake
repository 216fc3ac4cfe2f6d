# Linux desktop backend: X11 extensions and Qt Widgets. Only files under src/platform/linux and
# src/platform/qt see these headers.
find_package(PkgConfig REQUIRED)
pkg_check_modules(X11DEPS REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-damage xcb-xfixes xcb-randr xcb-xtest xcb-keysyms xcb-xinput
  xkbcommon)
if(QOVA_BUILD_TESTS)
  # Test and benchmark programs play the user's part through Xlib and its XTest; the product has
  # only XCB, which survives its server going away.
  pkg_check_modules(XLIB REQUIRED IMPORTED_TARGET x11 xtst)
endif()
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
pkg_check_modules(LIBYUV IMPORTED_TARGET libyuv)
pkg_check_modules(LIBPNG REQUIRED IMPORTED_TARGET libpng)
find_package(Qt6 REQUIRED COMPONENTS Widgets DBus Network)

qova_glob_sources(QOVA_X11_SOURCES src/platform/linux)
add_library(qova_x11 STATIC ${QOVA_X11_SOURCES})
qova_include_view(qova_x11 base seams platform/linux)
target_link_libraries(qova_x11 PUBLIC qova_posix PkgConfig::X11DEPS PkgConfig::TURBOJPEG PkgConfig::LIBPNG)
if(LIBYUV_FOUND)
  target_link_libraries(qova_x11 PUBLIC PkgConfig::LIBYUV)
else()
  find_library(YUV_LIBRARY yuv REQUIRED)
  target_link_libraries(qova_x11 PUBLIC ${YUV_LIBRARY})
endif()

include(cmake/Wayland.cmake)
include(cmake/Gnome.cmake)

qova_glob_sources(QOVA_QT_SOURCES src/platform/qt)
add_library(qova_qt STATIC ${QOVA_QT_SOURCES})
set_target_properties(qova_qt PROPERTIES AUTOMOC ON)
qova_include_view(qova_qt base seams platform/qt)
target_link_libraries(qova_qt PUBLIC qova_base Qt6::Widgets Qt6::DBus Qt6::Network PkgConfig::X11DEPS)

# The executable keeps the application bundle layout so the agent is found beside it.
set(QOVA_BUNDLE_DIR "${CMAKE_BINARY_DIR}/QOVA Lumaro Agent.app")
# The entry point and the composition root: the one place that names the backends.
add_executable(qova_app src/app/main.cpp src/app/linux_platform_services.cpp)
target_include_directories(qova_app PRIVATE src)
target_link_libraries(qova_app PRIVATE qova_logic qova_qt qova_x11 qova_wayland qova_gnome qova_posix)
set_target_properties(qova_app PROPERTIES
  OUTPUT_NAME "QOVA Lumaro Agent"
  RUNTIME_OUTPUT_DIRECTORY "${QOVA_BUNDLE_DIR}/Contents/MacOS")
set(QOVA_AGENT_BIN_DIR "${QOVA_BUNDLE_DIR}/Contents/Resources/agent-bin" CACHE INTERNAL "")
# The tray's icon where no icon theme has it (a build that is not installed).
configure_file("${PROJECT_SOURCE_DIR}/packaging/icons/qova-lumaro-agent-64.png"
               "${QOVA_BUNDLE_DIR}/Contents/Resources/qova-lumaro-agent.png" COPYONLY)
