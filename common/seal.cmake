# The exchange on the access code and the sealed channel after it: pure libsodium, no sockets.
find_package(PkgConfig REQUIRED)
pkg_check_modules(QOVA_SEAL_SODIUM REQUIRED IMPORTED_TARGET libsodium)
add_library(qova_seal STATIC ${CMAKE_CURRENT_LIST_DIR}/pake.cpp ${CMAKE_CURRENT_LIST_DIR}/seal.cpp)
target_include_directories(qova_seal PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qova_seal PUBLIC PkgConfig::QOVA_SEAL_SODIUM)
