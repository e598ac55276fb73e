// Identities of the stand-in grid library: its one creatable class and the
// interfaces of the sheet and its parts. All of them are this library's
// own choice.
#ifndef QUILLON_GRID_IDENTITIES_H_
#define QUILLON_GRID_IDENTITIES_H_

#include "quillon/component/types.h"

namespace quillon::grid::ids {

inline constexpr com::CLSID CLSID_Sheet = com::Guid("{9BC0CC03-FBAB-4A7A-A186-4F271CAB4A15}");
inline constexpr com::IID IID_ISheet = com::Guid("{5A0EE150-1A8C-4E46-B905-1A74C315D3FA}");
inline constexpr com::IID IID_ICell = com::Guid("{86835638-3580-4EA1-9F98-7E4B165F4714}");
inline constexpr com::IID IID_IBand = com::Guid("{A48B9B02-233B-48CF-A56A-16654D8DCC1F}");
inline constexpr com::IID IID_IPane = com::Guid("{61510C37-5810-40D7-8566-1ED82093B9ED}");
inline constexpr com::IID IID_IView = com::Guid("{EECD7963-1408-43CD-BD9E-91BB8824DE3E}");

inline constexpr char16_t kProgIdSheet[] = u"QuillonGrid.Sheet.1";
inline constexpr char16_t kProgIdSheetIndependent[] = u"QuillonGrid.Sheet";

}  // namespace quillon::grid::ids

#endif  // QUILLON_GRID_IDENTITIES_H_
