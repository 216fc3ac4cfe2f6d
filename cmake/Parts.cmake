# Each part of src/ is a library whose include path is a folder of links made here: it holds the
# parts the library may include and nothing else, so a forbidden include fails to compile. What a
# part may use (DESIGN.md): the controller uses the concerns; the concerns use the seams
# (src/platform/*.h) and base/; backends use the seams and base/ only.

set(QOVA_VIEWS_DIR ${CMAKE_BINARY_DIR}/include-views)
file(GLOB QOVA_SEAM_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/*.h)

# qova_include_view(<target> <part>...): a part is a folder under src/, or "seams" for the
# platform interfaces without their implementations.
function(qova_include_view target)
  set(view ${QOVA_VIEWS_DIR}/${target})
  file(REMOVE_RECURSE ${view})
  file(MAKE_DIRECTORY ${view})
  foreach(part IN LISTS ARGN)
    if(part STREQUAL "seams")
      file(MAKE_DIRECTORY ${view}/platform)
      foreach(header IN LISTS QOVA_SEAM_HEADERS)
        get_filename_component(name ${header} NAME)
        file(CREATE_LINK ${header} ${view}/platform/${name} SYMBOLIC)
      endforeach()
    else()
      get_filename_component(parent ${view}/${part} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${part} ${view}/${part} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${view})
endfunction()

# qova_part(<target> SOURCES <folder>... USES <part>... LINKS <target>...)
function(qova_part target)
  cmake_parse_arguments(PART "" "" "SOURCES;USES;LINKS" ${ARGN})
  qova_glob_sources(sources ${PART_SOURCES})
  add_library(${target} STATIC ${sources})
  qova_include_view(${target} ${PART_USES})
  target_link_libraries(${target} PUBLIC ${PART_LINKS})
endfunction()
