// main.cc - the main of every test binary: each test process gets a network of its own.
#include <gtest/gtest.h>

#include <cstdio>

#include "process.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace here; tests share the host's loopback\n");
  }
  return RUN_ALL_TESTS();
}
