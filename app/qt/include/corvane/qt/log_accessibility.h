#pragma once

#include "corvane/app/log_reader.h"
#include "corvane/app/text_units.h"

namespace corvane::qt {

class LogView;

// AT-SPI counts characters, code points, where Qt's strings count UTF-16
// units; Qt hands offsets to it as they are, so the log gives them in
// characters.
inline constexpr TextUnit kAccessibleUnit = TextUnit::kCharacter;

// Lets screen readers read the log view's text: every kept character, NUL as
// ␀. Once per process is enough.
void InstallLogAccessibility();

// Tells screen readers what came and went, and where the caret and the
// selection are now.
void AnnounceChanges(LogView* view, LogReader::Changes changes);

}  // namespace corvane::qt
