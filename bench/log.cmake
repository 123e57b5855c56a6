# Cost of one log line through the file output.
scredir_add_bench(log_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_bench.cc LIBS scredir_log)
