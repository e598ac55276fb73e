// The registry file is read by every process that creates an object; a
// damaged or hostile file must be refused, never crash, and what parses must
// survive a write and a re-read unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quillon/component/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using quillon::com::registry::Tree;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Tree tree;
  std::string error;
  if (quillon::com::Failed(tree.Parse(text, &error))) {
    if (error.empty() || !tree.empty()) std::abort();  // refused: said why, left untouched
    return 0;
  }
  std::string exported = tree.Export();
  Tree again;
  if (quillon::com::Failed(again.Parse(exported))) std::abort();
  if (again.Export() != exported) std::abort();
  return 0;
}
