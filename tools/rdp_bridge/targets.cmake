# The RDP bridge: a minimal RDP server that hosts the plug-in for a real
# RDP client, and the launcher that runs it with xfreerdp on a virtual
# display. Included from tools/CMakeLists.txt (after the demo block), so
# the program lands in <build>/tools/scredir-rdp-bridge.

# The launcher only starts programs; it is built wherever the private PC/SC
# stack is, so the demo can always offer --client freerdp and say what is
# missing when it cannot run.
if(TARGET scredir_pcsc_stack)
  add_library(scredir_freerdp_run STATIC rdp_bridge/freerdp_run.cc)
  target_include_directories(scredir_freerdp_run PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(scredir_freerdp_run PUBLIC scredir_pcsc_stack Threads::Threads)
endif()

pkg_check_modules(FREERDP_SERVER IMPORTED_TARGET freerdp-server2 freerdp2 winpr2)
if(FREERDP_SERVER_FOUND AND TARGET scredir_host_double AND TARGET scredir_core)
  # The handshake, the routing and the server loop, so tests can drive them.
  # It never links libpcsclite: FreeRDP's runtime exports the same names.
  add_library(scredir_rdp_bridge STATIC rdp_bridge/rdpdr_server.cc rdp_bridge/bridge_server.cc)
  target_include_directories(scredir_rdp_bridge PUBLIC ${PROJECT_SOURCE_DIR})
  # It frames its capability request and reads packet headers with the
  # plug-in's own rdpdr functions.
  target_link_libraries(scredir_rdp_bridge PUBLIC PkgConfig::FREERDP_SERVER scredir_host_double
                                                  scredir_core scredir_base Threads::Threads)

  add_executable(scredir-rdp-bridge rdp_bridge/bridge_main.cc)
  target_link_libraries(scredir-rdp-bridge PRIVATE scredir_rdp_bridge)
  if(TARGET scrediragent)
    add_dependencies(scredir-rdp-bridge scrediragent)
  endif()
  # The demo's --client freerdp runs it.
  if(TARGET scredir-demo)
    add_dependencies(scredir-demo scredir-rdp-bridge)
  endif()
endif()
