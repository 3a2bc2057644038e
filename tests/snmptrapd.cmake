# ferrow beside net-snmp's snmptrapd: forwarded node events, and a held event address.
kestara_test(snmptrapd_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/snmptrapd_test.cc
  TIMEOUT 120 BOTH_DATABASES)
if(TARGET snmptrapd_test)
  add_dependencies(snmptrapd_test ferrow ovw_tool)
endif()
