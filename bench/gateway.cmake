if(KESTARA_TESTS)
  # The baseline of the gateway benchmark: a bare UDP-to-SNMP relay in a process of its own.
  add_executable(gateway_relay ${CMAKE_CURRENT_SOURCE_DIR}/gateway_relay.cc)
  target_include_directories(gateway_relay PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(gateway_relay PRIVATE ${NETSNMP_LIBRARY})

  add_executable(gateway_bench ${CMAKE_CURRENT_SOURCE_DIR}/gateway_bench.cc)
  target_include_directories(gateway_bench PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(gateway_bench PRIVATE testsupport ${NETSNMP_LIBRARY})
  add_dependencies(gateway_bench tavrin gateway_relay)
endif()
