#include "corvane/app/quit_reason.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace corvane {
namespace {

TEST(QuitReasonTest, ALogoutRestartShutdownOrQuitAllEndsTheSessionAsAttributeOrParameter) {
  // As Apple's AppleEvents.h and AERegistry.h give them: quia, rlgo, rest,
  // shut, and logo, rrst, rsdn.
  for (const std::uint32_t reason : {0x71756961U, 0x726C676FU, 0x72657374U, 0x73687574U,
                                     0x6C6F676FU, 0x72727374U, 0x7273646EU}) {
    EXPECT_TRUE(QuitEndsSession(reason, 0)) << std::hex << reason << " as the attribute";
    EXPECT_TRUE(QuitEndsSession(0x71756974, reason)) << std::hex << reason << " as the parameter";
  }
  EXPECT_FALSE(QuitEndsSession(0, 0)) << "⌘Q, the Dock's Quit";
  EXPECT_FALSE(QuitEndsSession(0x6F626974, 0)) << "kAEApplicationDied 'obit'";
  EXPECT_FALSE(QuitEndsSession(0x6F676C72, 0x6F676C72)) << "'rlgo' with its bytes turned";
}

}  // namespace
}  // namespace corvane
