// The database-type constants as hosts see them: the enumeration
// qlDatabaseTypeConstants that both component libraries' type libraries
// declare, and that member tables name as a parameter type.
#ifndef QUILLON_RECORDSET_TYPE_CONSTANTS_H_
#define QUILLON_RECORDSET_TYPE_CONSTANTS_H_

#include "quillon/component/dispatch.h"
#include "quillon/recordset/recordset.h"

namespace quillon::recordset {

inline constexpr com::EnumValue kDatabaseTypeValues[] = {
    {u"qlDAO35", qlDAO35}, {u"qlDAO30", qlDAO30},
    {u"qlADO", qlADO},     {u"qlDAO36", qlDAO36},
    {u"qlDAOPassThrough", qlDAOPassThrough},
};

inline constexpr com::EnumDescription kDatabaseTypeConstants{
    u"qlDatabaseTypeConstants", com::GUID_NULL, kDatabaseTypeValues};

// A member parameter of type DatabaseType is declared with the enumeration.
constexpr const com::EnumDescription& DescribeEnum(DatabaseType) {
  return kDatabaseTypeConstants;
}

}  // namespace quillon::recordset

#endif  // QUILLON_RECORDSET_TYPE_CONSTANTS_H_
