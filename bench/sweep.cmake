# The start-up sweep against a direct net-snmp loop, and the event-to-flag latency.
if(KESTARA_TESTS)
  add_executable(sweep_bench ${CMAKE_CURRENT_LIST_DIR}/sweep_bench.cc
                 ${CMAKE_CURRENT_LIST_DIR}/sweep_agents.cc)
  target_include_directories(sweep_bench PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(sweep_bench PRIVATE discovery_core testsupport
                        ${NETSNMP_LIBRARY})
  add_dependencies(sweep_bench ferrow ovw_tool)
endif()

# The sweep with probes in flight at once: silent nodes, and answering nodes against net-snmp.
if(KESTARA_TESTS)
  add_executable(sweep_window_bench ${CMAKE_CURRENT_LIST_DIR}/sweep_window_bench.cc
                 ${CMAKE_CURRENT_LIST_DIR}/sweep_agents.cc)
  target_include_directories(sweep_window_bench PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(sweep_window_bench PRIVATE discovery_core ovw_admin testsupport
                        ${NETSNMP_LIBRARY})
  add_dependencies(sweep_window_bench ovw_tool)
endif()
