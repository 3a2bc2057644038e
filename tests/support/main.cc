// main.cc - the main of every test binary: each test process gets a network of its own, and
// an object database of its own unless the test names one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "process.h"

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace here; tests share the host's loopback\n");
  }
  // A program started without OVW_DATABASE would use the station's database in
  // /var/lib/kestara: point it into this process's scratch folder instead.
  kt::TempDir scratch;
  setenv("OVW_DATABASE", scratch.file("ovw.db").c_str(), 0);
  return RUN_ALL_TESTS();
}
