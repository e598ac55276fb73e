// Test main: a private registry holding the debug fixture's classes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "debug_fixture.h"
#include "quillon/component/registration.h"
#include "test_support.h"

namespace quillon::monitor::testing {
namespace {

std::string& MutableTestDir() {
  static std::string dir;
  return dir;
}

class RegistryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "monitor_run_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    MutableTestDir() = pattern;
    ::setenv("QUILLON_REGISTRY", RegistryPath().c_str(), 1);

    std::vector<com::ClassDescription> classes;
    for (int i = 0; i < debug_fixture::kBehaviourCount; ++i) {
      com::ClassDescription c;
      c.clsid = debug_fixture::ClsidOf(static_cast<debug_fixture::Behaviour>(i));
      c.progid = std::string(kProjects[i]) + ".QuillonDebug";
      c.display_name = c.progid;
      classes.push_back(c);
    }
    ASSERT_EQ(com::RegisterComponentLibrary(QUILLON_DEBUG_FIXTURE, nullptr, classes), com::S_OK);
    com::ClassDescription missing;
    missing.clsid = com::Guid("{7D3A4F1F-2C5B-4E8A-9A61-0B2C3D4E5F60}");
    missing.progid = "Missing.QuillonDebug";
    missing.display_name = missing.progid;
    ASSERT_EQ(com::RegisterComponentLibrary(TestDir() + "/no-such-library.so", nullptr,
                                            {&missing, 1}),
              com::S_OK);
  }
  void TearDown() override { std::filesystem::remove_all(TestDir()); }
};

}  // namespace

const std::string& TestDir() { return MutableTestDir(); }

const std::string& RegistryPath() {
  static const std::string path = TestDir() + "/registry";
  return path;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace quillon::monitor::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quillon::monitor::testing::RegistryEnvironment);
  return RUN_ALL_TESTS();
}
