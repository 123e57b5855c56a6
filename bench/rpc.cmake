scredir_add_bench(rpc_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/rpc_bench.cc LIBS scredir_rpc)
