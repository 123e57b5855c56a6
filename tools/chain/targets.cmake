# The chain's peers: the remote half (the built plug-in in the host double,
# the client double and a card) and a small pcsc-lite application. The chain
# and daemon tests and the demo-apps script use them. Included from
# tools/CMakeLists.txt after the demo block, so the programs land in
# <build>/tools/chain/.
if(NOT (TARGET scredir_rig AND TARGET scredir_pcsc_backend AND TARGET scredir_pcsc_stack))
  return()
endif()

add_library(scredir_chain_remote STATIC chain/remote_side.cc chain/app_side.cc)
target_include_directories(scredir_chain_remote PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(scredir_chain_remote PUBLIC scredir_rig scredir_card_model
                                                  scredir_pcsc_backend scredir_pcsc_stack
                                                  Threads::Threads)

add_executable(scredir-chain-remote chain/remote_main.cc)
set_target_properties(scredir-chain-remote PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                      ${CMAKE_CURRENT_BINARY_DIR}/chain)
target_link_libraries(scredir-chain-remote PRIVATE scredir_chain_remote scredir_pcsc_stack)
if(TARGET scrediragent)
  add_dependencies(scredir-chain-remote scrediragent)
endif()

# A pcsc-lite application that holds a transaction.
add_executable(scredir-pcsc-probe chain/probe_main.cc)
set_target_properties(scredir-pcsc-probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                    ${CMAKE_CURRENT_BINARY_DIR}/chain)
target_link_libraries(scredir-pcsc-probe PRIVATE PkgConfig::PCSCLITE)
