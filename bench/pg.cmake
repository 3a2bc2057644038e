if(KESTARA_TESTS)
  # Wake-ups through a PostgreSQL server against the FIFO beside a database file.
  add_executable(pg_wake_bench ${CMAKE_CURRENT_SOURCE_DIR}/pg_wake_bench.cc)
  target_link_libraries(pg_wake_bench PRIVATE testsupport ovw_pg ovw)
endif()
