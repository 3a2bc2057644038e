# The map service in a real browser: headless Chromium through WebDriver (python3-selenium), with
# the real mapview, mossick, tavrin and snmpd.
kestara_test(browser_test SOURCES browser_test.cc LIBS nlohmann_json::nlohmann_json TIMEOUT 300 BOTH_DATABASES)
if(TARGET browser_test)
  add_dependencies(browser_test mapview mossick ovw_tool tavrin)
endif()
