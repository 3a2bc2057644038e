# getSnmpData through tavrin over SNMPv3 authPriv against SNMPv2c, with the cryptography's cost
# and net-snmp's own as the floors.
if(KESTARA_TESTS)
  add_executable(snmpv3_bench ${CMAKE_CURRENT_LIST_DIR}/snmpv3_bench.cc)
  target_include_directories(snmpv3_bench PRIVATE ${NETSNMP_INCLUDE_DIR})
  target_link_libraries(snmpv3_bench PRIVATE testsupport ${NETSNMP_LIBRARY})
  add_dependencies(snmpv3_bench tavrin)
endif()
