# Completion parsing and request building from outside bytes.
scredir_add_fuzzer(fuzz_commands SOURCES ${CMAKE_CURRENT_LIST_DIR}/commands_fuzzer.cc
                   LIBS scredir_core)
