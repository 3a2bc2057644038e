# SNMPv3: tavrin and ferrow against snmpd's own users, and SNMPv3 traps and informs to ferrow.
kestara_test(snmpv3_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/snmpv3_test.cc
  TIMEOUT 180 BOTH_DATABASES)
if(TARGET snmpv3_test)
  add_dependencies(snmpv3_test tavrin ferrow ovw_tool)
endif()
