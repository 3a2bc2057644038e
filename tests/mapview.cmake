# System tests of the map web service: the real mapview beside a map session played by `ovw`,
# with the real ferrow, mossick, tavrin and snmpd where a test needs them; an HTTP client talks to it.
kestara_test(mapview_test SOURCES mapview_test.cc
             LIBS PkgConfig::HTTPLIB nlohmann_json::nlohmann_json TIMEOUT 240 BOTH_DATABASES)
if(TARGET mapview_test)
  add_dependencies(mapview_test mapview mossick ferrow ovw_tool tavrin)
endif()
