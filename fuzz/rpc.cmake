scredir_add_fuzzer(fuzz_rpc_decode SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/rpc_decode_fuzzer.cc
                   LIBS scredir_rpc)
