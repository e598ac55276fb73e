// The main program of the tests that load every component library: the
// libraries are registered in a private registry before any test runs.
#include <gtest/gtest.h>

#include "tests/component/component_libraries.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quillon::testing::RegisteredLibraries);
  return RUN_ALL_TESTS();
}
