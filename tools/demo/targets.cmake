# The demo program and the real PC/SC stack backend. Included from
# tools/CMakeLists.txt, so paths are relative to tools/ and the program
# lands in <build>/tools/scredir-demo.

# The client double's backend over libpcsclite (the remote side as a
# genuine PC/SC stack). Optional: built only where libpcsclite is found.
pkg_check_modules(PCSCLITE IMPORTED_TARGET libpcsclite)
if(PCSCLITE_FOUND)
  add_library(scredir_pcsc_backend STATIC pcsc_backend.cc)
  target_include_directories(scredir_pcsc_backend PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(scredir_pcsc_backend PUBLIC PkgConfig::PCSCLITE scredir_base
                                                    Threads::Threads)

  # A private pcscd with the virtual reader driver and a virtual card, for
  # runs against a genuine stack that must not touch the system's.
  add_library(scredir_pcsc_stack STATIC pcsc_stack.cc)
  target_include_directories(scredir_pcsc_stack PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(scredir_pcsc_stack PUBLIC PkgConfig::PCSCLITE Threads::Threads)
endif()

if(TARGET scredir_rig AND TARGET scredir_names AND PCSCLITE_FOUND)
  # Everything of the demo but main(), so tests can drive a session too.
  add_library(scredir_demo_lib STATIC demo/session.cc demo/format.cc demo/options.cc
                                      demo/log_follower.cc)
  target_include_directories(scredir_demo_lib PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(scredir_demo_lib PUBLIC scredir_rig scredir_names scredir_base
                                                Threads::Threads)

  add_executable(scredir-demo demo/demo_main.cc)
  # scredir_freerdp_run (--client freerdp) is defined in rdp_bridge/targets.cmake.
  target_link_libraries(scredir-demo PRIVATE scredir_demo_lib scredir_card_model
                                             scredir_pcsc_backend scredir_pcsc_stack
                                             scredir_freerdp_run)
  # The demo loads the plug-in at run time; build it along with the demo.
  if(TARGET scrediragent)
    add_dependencies(scredir-demo scrediragent)
  endif()
endif()
