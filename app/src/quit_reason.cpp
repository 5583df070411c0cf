#include "corvane/app/quit_reason.h"

#include <algorithm>
#include <array>

namespace corvane {
namespace {

bool EndsSession(std::uint32_t reason) {
  using namespace quit_reason;
  static constexpr std::array kEndings = {
      kQuitAll,           kReallyLogOut,       kRestart, kShutDown, kLogOut,
      kShowRestartDialog, kShowShutdownDialog,
  };
  return std::find(kEndings.begin(), kEndings.end(), reason) != kEndings.end();
}

}  // namespace

bool QuitEndsSession(std::uint32_t attribute, std::uint32_t parameter) {
  return EndsSession(attribute) || EndsSession(parameter);
}

}  // namespace corvane
