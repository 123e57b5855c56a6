# Configuration file reader.
scredir_add_fuzzer(fuzz_config_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_file_fuzzer.cc
                   LIBS scredir_user)
