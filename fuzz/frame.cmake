# The frame's packet readers: the received-packet router, the client
# capability walk, the completion reader and the debug dump.
scredir_add_fuzzer(fuzz_frame SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_fuzzer.cc LIBS scredir_core)
