// Identities of the engine classes this library registers. The class and
// engine/database interface identifiers are the engines' documented ones;
// the ProgIDs and the DISPIDs of the members are this library's choice.
#ifndef QUILLON_ENGINES_IDENTITIES_H_
#define QUILLON_ENGINES_IDENTITIES_H_

#include "quillon/component/types.h"

namespace quillon::engines::ids {

inline constexpr com::CLSID CLSID_DaoEngine36 = com::Guid("{00000100-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::CLSID CLSID_DaoEngine35 = com::Guid("{00000010-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::CLSID CLSID_DaoEngine30 = com::Guid("{00025E15-0000-0000-C000-000000000046}");
// 3.5 and 3.6 share their engine and database interfaces.
inline constexpr com::IID IID_DaoEngine = com::Guid("{00000021-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::IID IID_DaoDatabase = com::Guid("{00000071-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::IID IID_DaoEngine30 = com::Guid("{00025E17-0000-0000-C000-000000000046}");
inline constexpr com::IID IID_DaoDatabase30 = com::Guid("{00025E72-0000-0000-C000-000000000046}");

inline constexpr com::CLSID CLSID_AdoConnection =
    com::Guid("{00000514-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::IID IID_AdoConnection = com::Guid("{00000550-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::CLSID CLSID_AdoRecordset = com::Guid("{00000535-0000-0010-8000-00AA006D2EA4}");
inline constexpr com::IID IID_AdoRecordset = com::Guid("{0000054F-0000-0010-8000-00AA006D2EA4}");

// The command class has no place in the binding; its identity is ADO's.
inline constexpr com::CLSID CLSID_AdoCommand = com::Guid("{00000507-0000-0010-8000-00AA006D2EA4}");

inline constexpr char16_t kProgIdDao36[] = u"DAO.DBEngine.36";
inline constexpr char16_t kProgIdDao35[] = u"DAO.DBEngine.35";
inline constexpr char16_t kProgIdDao30[] = u"DAO.DBEngine.30";
inline constexpr char16_t kProgIdAdoConnection[] = u"ADODB.Connection.2.8";
inline constexpr char16_t kProgIdAdoConnectionIndependent[] = u"ADODB.Connection";
inline constexpr char16_t kProgIdAdoRecordset[] = u"ADODB.Recordset.2.8";
inline constexpr char16_t kProgIdAdoRecordsetIndependent[] = u"ADODB.Recordset";
inline constexpr char16_t kProgIdAdoCommand[] = u"ADODB.Command.2.8";
inline constexpr char16_t kProgIdAdoCommandIndependent[] = u"ADODB.Command";

}  // namespace quillon::engines::ids

#endif  // QUILLON_ENGINES_IDENTITIES_H_
