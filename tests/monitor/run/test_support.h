// Shared by the monitor run tests: a private temporary directory, the
// private class registry with the debug fixture's classes, files.
#ifndef QUILLON_TESTS_MONITOR_RUN_TEST_SUPPORT_H_
#define QUILLON_TESTS_MONITOR_RUN_TEST_SUPPORT_H_

#include <string>
#include <string_view>

namespace quillon::monitor::testing {

// The directory of this test run (created by the test environment).
const std::string& TestDir();
// The registry file the tests use (QUILLON_REGISTRY).
const std::string& RegistryPath();
void WriteFile(const std::string& path, std::string_view bytes);

// ProgIDs of the fixture's debug objects are "<project>.QuillonDebug" for
// these projects (see debug_fixture.h); "Missing" is registered with a
// library that does not exist. The raising project's name has characters
// an HTML page must escape.
inline constexpr const char* kProjects[] = {"Echo",    "Text",         "Gif",      "Excep",
                                            "ErrInfo", "Disconnected", "NoMethod", "R<&\">"};

}  // namespace quillon::monitor::testing

#endif  // QUILLON_TESTS_MONITOR_RUN_TEST_SUPPORT_H_
