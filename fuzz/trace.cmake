# Every record through the codec with the debug traces and dumps on, into
# the log facility's file output.
scredir_add_fuzzer(fuzz_trace SOURCES ${CMAKE_CURRENT_LIST_DIR}/trace_fuzzer.cc
                   LIBS scredir_diag scredir_log)
