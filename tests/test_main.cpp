// Test entry: the run-time's heaps and string runtime exist for every test.
#include <gtest/gtest.h>

#include "core/rt.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  rt_init_for_tests(argc, argv);
  int rc = RUN_ALL_TESTS();
  rt_end_for_tests();
  return rc;
}
