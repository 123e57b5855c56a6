# The daemon link's record reader over the daemon's byte stream.
scredir_add_fuzzer(fuzz_daemon_stream SOURCES ${CMAKE_CURRENT_LIST_DIR}/daemon_stream_fuzzer.cc
                   LIBS scredir_core)
