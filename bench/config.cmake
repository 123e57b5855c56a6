# Configuration store lookups and file loading.
scredir_add_bench(config_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/config_bench.cc LIBS scredir_config)
