// A private class registry holding a chosen subset of the engine classes.
#ifndef QUILLON_TESTS_RECORDSET_TEST_REGISTRY_H_
#define QUILLON_TESTS_RECORDSET_TEST_REGISTRY_H_

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engines/module.h"
#include "quillon/component/registration.h"

namespace quillon::recordset::testing {

enum EngineSet : unsigned {
  kDao36 = 1,
  kDao35 = 2,
  kDao30 = 4,
  kAdo = 8,
  kAll = 15,
};

class TestRegistry {
 public:
  TestRegistry() {
    dir_ = std::filesystem::temp_directory_path() /
           ("quillon-rs-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
    setenv("QUILLON_REGISTRY", (dir_ / "registry").c_str(), 1);
  }
  ~TestRegistry() {
    unsetenv("QUILLON_REGISTRY");
    std::filesystem::remove_all(dir_);
  }
  // Registers exactly the engines in `set` (the others are unregistered).
  bool Register(unsigned set) {
    auto all = engines::EngineClasses();
    if (com::Failed(com::UnregisterComponentLibrary(nullptr, all))) return false;
    std::vector<com::ClassDescription> chosen;
    const unsigned bits[] = {kDao36, kDao35, kDao30, kAdo, kAdo, kAdo};
    for (size_t i = 0; i < all.size(); ++i) {
      if ((set & bits[i]) != 0) chosen.push_back(all[i]);
    }
    return com::Succeeded(com::RegisterComponentLibrary(ENGINES_LIBRARY, nullptr, chosen));
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  static inline int counter_ = 0;
  std::filesystem::path dir_;
};

}  // namespace quillon::recordset::testing

#endif  // QUILLON_TESTS_RECORDSET_TEST_REGISTRY_H_
