# The start-up sweep against a direct net-snmp loop, and the event-to-flag latency.
if(KESTARA_TESTS)
  add_executable(sweep_bench ${CMAKE_CURRENT_LIST_DIR}/sweep_bench.cc)
  target_include_directories(sweep_bench PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(sweep_bench PRIVATE discovery_core testsupport
                        ${NETSNMP_LIBRARY})
  add_dependencies(sweep_bench ferrow ovw_tool)
endif()
