#pragma once

#include <QString>
#include <string>

namespace corvane::qt {

// Stored text as the log shows it: NUL, which neither a text layout nor a
// screen reader carries, as the visible symbol ␀; one UTF-16 unit for one.
QString ShownText(const std::string& bytes);

// Lets screen readers read the log view's text: every kept character, in the
// UTF-16 offsets assistive interfaces count. Once per process is enough.
void InstallLogAccessibility();

}  // namespace corvane::qt
