#pragma once

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

// Tells screen readers what came and went since they last heard, and that
// the selection or caret moved.
void AnnounceTextChange(LogView* view);
void AnnounceSelection(LogView* view);

}  // namespace corvane::qt
