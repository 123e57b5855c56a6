# Request building and completion parsing.
scredir_add_bench(commands_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/commands_bench.cc
                  LIBS scredir_core)
