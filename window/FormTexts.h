// The fixed texts of the main window, marked for translation and translated where they are
// shown.
#pragma once

#include <QString>

namespace hostmoor {

// The maker's line of the status bar, with the version.
QString MakerLine();
extern const char* const kMakerAddress;    // not translated
extern const char* const kDefaultHostName; // not translated

// The results box's text until the first results arrive, fourteen rows.
QString InstructionText();
// The About page's text.
QString AboutText();
// The maker's page: who the maker is, and the invitation to visit.
QString MakerText();
QString VisitText();
// The five rows of the rewrite page's "Step 2" group.
QString Step2Row(int row);

} // namespace hostmoor
