// Undoing a conversion: putting a project's original back where the project
// is still as it was converted.
#pragma once

#include <string>
#include <string_view>

#include "app/report.h"
#include "platform/platform.h"

namespace lstconvert {

inline constexpr std::u16string_view kChangedSinceConvertedMessage =
    u"The file %s has been changed since it was converted. Its original stays in %s.bak.";

// Puts the backup "<fullPath>.bak" back in the place of the project at
// `fullPath` where the project holds, byte for byte, what converting the
// backup gives: the original comes back, metadata and all, and no backup
// stays. Where there is nothing to undo (no backup, a backup the conversion
// would refuse, a project equal to its backup or bound to no table) both
// stay, silently; where the project was changed since it was converted, both
// stay and the project gets a message. Never converts, never makes a backup.
// `report` gets "restored <path>", "kept <path>: ..." or, where the backup
// or the project cannot be read or the backup cannot be put back,
// "left <path>: ...". A dry run only tells what it would do.
void UndoProjectFile(Platform& platform, const std::u16string& fullPath, ProjectReport& report,
                     bool dryRun = false);

}  // namespace lstconvert
