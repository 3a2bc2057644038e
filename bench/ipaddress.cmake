# "getIpAddress" through tavrin against the same 33 requests sent straight through net-snmp.
if(KESTARA_TESTS)
  add_executable(ipaddress_bench ${CMAKE_CURRENT_SOURCE_DIR}/ipaddress_bench.cc)
  target_include_directories(ipaddress_bench PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(ipaddress_bench PRIVATE testsupport ${NETSNMP_LIBRARY})
  add_dependencies(ipaddress_bench tavrin)
endif()
