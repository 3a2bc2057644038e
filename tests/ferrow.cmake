# System tests of ferrow: real agents, an object database filled with ovw, net-snmp's snmptrap
# and snmpinform, and a notify socket.
kestara_test(ferrow_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ferrow_test.cc
  LIBS kshared reliability_support
  TIMEOUT 240 BOTH_DATABASES)
add_dependencies(ferrow_test ferrow ovw_tool)
