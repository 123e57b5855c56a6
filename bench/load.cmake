# scredir-load: the built plug-in against a floor relay, in interleaved
# rounds (docs/perf.md). Not a Google Benchmark program: it drives the
# real .so through an in-process host, so it has a main of its own.
if(TARGET scrediragent AND TARGET scredir_rig)
  add_executable(scredir-load
    ${CMAKE_CURRENT_LIST_DIR}/load/load_main.cc
    ${CMAKE_CURRENT_LIST_DIR}/load/load_host.cc
    ${CMAKE_CURRENT_LIST_DIR}/load/floor_relay.cc
    ${CMAKE_CURRENT_LIST_DIR}/load/daemon_peer.cc)
  target_include_directories(scredir-load PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(scredir-load PRIVATE scredir_rig scredir_rpc scredir_base
                                             ${CMAKE_DL_LIBS} Threads::Threads)
  target_compile_definitions(scredir-load PRIVATE
    SCREDIR_LOAD_PLUGIN="$<TARGET_FILE:scrediragent>")
  add_dependencies(scredir-load scrediragent)
  # One run with tiny settings: every figure is printed; nothing is timed
  # against a limit.
  if(SCREDIR_BUILD_TESTS)
    add_test(NAME scredir_load_smoke COMMAND scredir-load --quick --max-seconds 60)
    set_tests_properties(scredir_load_smoke PROPERTIES
      PASS_REGULAR_EXPRESSION "resident memory per in-flight"
      FAIL_REGULAR_EXPRESSION "scredir-load: stopped|failed|wrong"
      TIMEOUT 90)
  endif()
endif()
