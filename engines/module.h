// The engines library's registration data. Header-only, so that tests can
// register a chosen subset of the classes (to prove the binding's
// fallbacks) without linking the library.
#ifndef QUILLON_ENGINES_MODULE_H_
#define QUILLON_ENGINES_MODULE_H_

#include <span>

#include "engines/identities.h"
#include "quillon/component/registration.h"

namespace quillon::engines {

inline com::ClassDescription DescribeEngineClass(const com::CLSID& clsid, const char* name,
                                                 const char* progid, const char* independent) {
  com::ClassDescription d;
  d.clsid = clsid;
  d.display_name = name;
  d.progid = progid;
  d.version_independent_progid = independent;
  d.programmable = true;
  return d;
}

// DAO 3.6, 3.5, 3.0 engines, ADO connection, ADO recordset, ADO command, in
// this order.
inline std::span<const com::ClassDescription> EngineClasses() {
  static const com::ClassDescription classes[] = {
      DescribeEngineClass(ids::CLSID_DaoEngine36, "DAO.DBEngine.36", "DAO.DBEngine.36", ""),
      DescribeEngineClass(ids::CLSID_DaoEngine35, "DAO.DBEngine.35", "DAO.DBEngine.35", ""),
      DescribeEngineClass(ids::CLSID_DaoEngine30, "DAO.DBEngine.30", "DAO.DBEngine.30", ""),
      DescribeEngineClass(ids::CLSID_AdoConnection, "ADODB.Connection", "ADODB.Connection.2.8",
                          "ADODB.Connection"),
      DescribeEngineClass(ids::CLSID_AdoRecordset, "ADODB.Recordset", "ADODB.Recordset.2.8",
                          "ADODB.Recordset"),
      DescribeEngineClass(ids::CLSID_AdoCommand, "ADODB.Command", "ADODB.Command.2.8",
                          "ADODB.Command"),
  };
  return classes;
}

}  // namespace quillon::engines

#endif  // QUILLON_ENGINES_MODULE_H_
