# The exchange on the access code and the sealed channel after it: libsodium and OpenSSL's AEADs, no
# sockets.
add_library(qova_seal STATIC ${CMAKE_CURRENT_LIST_DIR}/pake.cpp ${CMAKE_CURRENT_LIST_DIR}/seal.cpp)
target_include_directories(qova_seal PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qova_seal PUBLIC PkgConfig::SODIUM OpenSSL::Crypto)
