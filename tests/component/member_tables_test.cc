// Every class's member table as text, compared with the checked-in files
// under tests/golden/members/: a changed DISPID, name, parameter type,
// required count or hidden flag shows up as a diff. After an intended
// change, run with QUILLON_UPDATE_GOLDEN=1 to rewrite the files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "client/client_control.h"
#include "engines/automation.h"
#include "grid/objects.h"
#include "quillon/component/dispatch.h"
#include "quillon/component/runtime.h"
#include "server/html_objects.h"
#include "server/qserver_object.h"

namespace quillon::com {
namespace {

std::string TypeName(VARTYPE vt) {
  std::string prefix = (vt & VT_BYREF) != 0 ? "ByRef " : "";
  switch (vt & ~VT_BYREF) {
    case VT_EMPTY: return prefix + "void";
    case VT_I2: return prefix + "Integer";
    case VT_I4: return prefix + "Long";
    case VT_R4: return prefix + "Single";
    case VT_R8: return prefix + "Double";
    case VT_BSTR: return prefix + "String";
    case VT_BOOL: return prefix + "Boolean";
    case VT_VARIANT: return prefix + "Variant";
    case VT_DISPATCH: return prefix + "Object";
    case VT_UNKNOWN: return prefix + "Unknown";
    default: return prefix + "vt" + std::to_string(vt);
  }
}

std::string KindName(WORD kind) {
  switch (kind) {
    case DISPATCH_PROPERTYGET: return "get";
    case DISPATCH_PROPERTYPUT: return "put";
    default: return "method";
  }
}

std::string Dump(const MemberTable& table) {
  std::ostringstream out;
  out << Utf16ToUtf8(table.interface_name) << "\n";
  for (const MemberInfo& m : table.members) {
    out << m.dispid << " " << KindName(m.kind) << " " << Utf16ToUtf8(m.name) << "(";
    for (size_t i = 0; i < m.param_count; ++i) {
      if (i > 0) out << ", ";
      std::u16string_view name = m.ParamName(i);
      out << (name.empty() ? "value" : Utf16ToUtf8(name)) << " As " << TypeName(m.param_types[i]);
    }
    out << ") As " << TypeName(m.result) << "; required " << int{m.required}
        << (m.hidden ? "; hidden" : "") << "\n";
  }
  return out.str();
}

struct Golden {
  const char* file;
  const MemberTable& table;
};

TEST(MemberTables, MatchTheCheckedInText) {
  const Golden tables[] = {
      {"IQServer", server::kQServerMembers.table},
      {"IQHtmlDoc", server::kQHtmlDocMembers.table},
      {"IHtmlTag", server::kHtmlTagMembers.table},
      {"IHtmlTags", server::kHtmlTagsMembers.table},
      {"QClientDispatch", client::kClientMembers.table},
      // The stand-in grid: its reader identifiers are fixed by the table
      // builder, so a change to them shows here too.
      {"QuillonGrid.ISheet", grid::kSheetMembers.table},
      {"QuillonGrid.ICell", grid::kCellMembers.table},
      {"QuillonGrid.IBand", grid::kBandMembers.table},
      {"QuillonGrid.IPane", grid::kPaneMembers.table},
      {"QuillonGrid.IView", grid::kViewMembers.table},
      // The database engines: the binding calls them by name, scripts by
      // name or DISPID.
      {"Engines.DBEngine", engines::kDaoEngineMembers.table},
      {"Engines.Database", engines::kDaoDatabaseMembers.table},
      {"Engines.QueryDef", engines::kQueryDefMembers.table},
      {"Engines.Connection", engines::kAdoConnectionMembers.table},
      {"Engines.Command", engines::kAdoCommandMembers.table},
      {"Engines.Recordset", engines::kRecordsetMembers.table},
      {"Engines.Fields", engines::kFieldsMembers.table},
      {"Engines.Field", engines::kFieldMembers.table},
      {"Engines.Parameters", engines::kParametersMembers.table},
      {"Engines.Parameter", engines::kParameterMembers.table},
      {"Engines.Errors", engines::kErrorsMembers.table},
      {"Engines.Error", engines::kErrorMembers.table},
  };
  const bool update = std::getenv("QUILLON_UPDATE_GOLDEN") != nullptr;
  for (const Golden& g : tables) {
    SCOPED_TRACE(g.file);
    const std::string path = std::string(QUILLON_GOLDEN_DIR) + "/" + g.file + ".txt";
    const std::string actual = Dump(g.table);
    if (update) {
      std::ofstream(path, std::ios::binary) << actual;
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "missing " << path << " (QUILLON_UPDATE_GOLDEN=1 writes it)";
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(actual, expected.str());
  }
}

}  // namespace
}  // namespace quillon::com
