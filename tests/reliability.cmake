# Reliability checks: datagram storms, misbehaving agents, database faults, trap floods and a
# soak. Their sizes are the short form unless KESTARA_RELIABILITY=full (scripts/reliability).
set(RELIABILITY_DIR ${CMAKE_CURRENT_LIST_DIR}/reliability)

add_library(reliability_support STATIC
  ${RELIABILITY_DIR}/reliability.cc
  ${RELIABILITY_DIR}/storm.cc
  ${RELIABILITY_DIR}/trap_sender.cc)
target_include_directories(reliability_support PUBLIC ${RELIABILITY_DIR} PRIVATE ${NETSNMP_INCLUDE_DIR})
target_link_libraries(reliability_support PUBLIC testsupport ${NETSNMP_LIBRARY})

kestara_test(reliability_storm_test SOURCES ${RELIABILITY_DIR}/storm_test.cc
  LIBS reliability_support TIMEOUT 600 BOTH_DATABASES)
add_dependencies(reliability_storm_test tavrin quenby ovw_tool)

kestara_test(reliability_agent_test SOURCES ${RELIABILITY_DIR}/agent_fault_test.cc
  LIBS reliability_support TIMEOUT 300 BOTH_DATABASES)
add_dependencies(reliability_agent_test tavrin ferrow ovw_tool)

kestara_test(reliability_soak_test SOURCES ${RELIABILITY_DIR}/soak_test.cc
  LIBS reliability_support TIMEOUT 900)
add_dependencies(reliability_soak_test tavrin ovw_tool)

kestara_test(reliability_flood_test SOURCES ${RELIABILITY_DIR}/trap_flood_test.cc
  LIBS reliability_support TIMEOUT 600)
add_dependencies(reliability_flood_test ferrow ovw_tool)

kestara_test(reliability_database_test SOURCES ${RELIABILITY_DIR}/database_fault_test.cc
  LIBS reliability_support ovw PkgConfig::SQLITE3 PkgConfig::LIBPQ TIMEOUT 600 BOTH_DATABASES)
add_dependencies(reliability_database_test ferrow quenby tavrin ovw_tool)
# The store's writers' lock, which a test takes as another writer would.
target_include_directories(reliability_database_test PRIVATE ${CMAKE_SOURCE_DIR}/platform/ovw)

# The same tools by hand: a storm, a scripted agent and a flood (reliability_tool --help).
add_executable(reliability_tool ${RELIABILITY_DIR}/reliability_tool.cc)
set_target_properties(reliability_tool PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
target_link_libraries(reliability_tool PRIVATE reliability_support)

# The gateway and the selection name server against hostile senders: forged sources, floods,
# relaying, session exhaustion, answer injection, log forging.
kestara_test(hostile_peers_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/hostile_peers_test.cc
  LIBS reliability_support TIMEOUT 300)
add_dependencies(hostile_peers_test tavrin quenby ovw_tool)

# The gateway with every request in flight at once: isolation, hostile agents, close and stop
# in flight, its limits, and replies equal to the one-at-a-time gateway's.
kestara_test(gateway_concurrency_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gateway_concurrency_test.cc
  LIBS reliability_support TIMEOUT 300)
add_dependencies(gateway_concurrency_test tavrin ovw_tool)
