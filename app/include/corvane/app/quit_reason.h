#pragma once

#include <cstdint>

namespace corvane {

// A four-character code as the Apple Event headers write it: 'rlgo'.
constexpr std::uint32_t FourCharCode(const char (&code)[5]) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24U |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16U |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8U |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

// The reasons a quit Apple Event gives when the user's session is ending
// (its keyword 'why?'), as the Apple Event headers name them.
namespace quit_reason {
inline constexpr std::uint32_t kQuitAll = FourCharCode("quia");
inline constexpr std::uint32_t kReallyLogOut = FourCharCode("rlgo");
inline constexpr std::uint32_t kRestart = FourCharCode("rest");
inline constexpr std::uint32_t kShutDown = FourCharCode("shut");
// The same three while the system still asks the user first.
inline constexpr std::uint32_t kLogOut = FourCharCode("logo");
inline constexpr std::uint32_t kShowRestartDialog = FourCharCode("rrst");
inline constexpr std::uint32_t kShowShutdownDialog = FourCharCode("rsdn");
}  // namespace quit_reason

// Whether a quit Apple Event ends the user's session: a logout, restart or
// shutdown. The system puts the reason in the event's attribute; a script or
// another sender may put it in a parameter instead. Each is passed here, 0
// where the event has none: ⌘Q, the Dock's Quit and a plain scripted quit
// have neither.
bool QuitEndsSession(std::uint32_t attribute, std::uint32_t parameter);

}  // namespace corvane
