# NDR call decoding (the client's side of every request).
scredir_add_fuzzer(fuzz_call_decode SOURCES ${CMAKE_CURRENT_LIST_DIR}/call_decode_fuzzer.cc
                   LIBS scredir_rpc)
