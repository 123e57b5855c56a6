# NDR return decoding.
scredir_add_fuzzer(fuzz_rpc_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/rpc_decode_fuzzer.cc
                   LIBS scredir_rpc)
