#include "corvane/app/quit_reason.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace corvane {
namespace {

// The reasons' values as Apple's AppleEvents.h and AERegistry.h give them.
constexpr std::uint32_t kSessionEndings[] = {
    0x71756961,  // kAEQuitAll 'quia'
    0x726C676F,  // kAEReallyLogOut 'rlgo'
    0x72657374,  // kAERestart 'rest'
    0x73687574,  // kAEShutDown 'shut'
    0x6C6F676F,  // kAELogOut 'logo'
    0x72727374,  // kAEShowRestartDialog 'rrst'
    0x7273646E,  // kAEShowShutdownDialog 'rsdn'
};

TEST(QuitReasonTest, ASessionEndingIsSeenAsTheAttributeOrAsTheParameter) {
  for (const std::uint32_t reason : kSessionEndings) {
    EXPECT_TRUE(QuitEndsSession(reason, 0)) << std::hex << reason << " as the attribute";
    EXPECT_TRUE(QuitEndsSession(0, reason)) << std::hex << reason << " as the parameter";
    // A sender that sets both, one of them to something else.
    EXPECT_TRUE(QuitEndsSession(0x71756974, reason)) << std::hex << reason;
  }
}

TEST(QuitReasonTest, AQuitWithoutASessionReasonIsNotOne) {
  EXPECT_FALSE(QuitEndsSession(0, 0)) << "⌘Q, the Dock's Quit";
  EXPECT_FALSE(QuitEndsSession(0x71756974, 0x71756974)) << "'quit'";
  EXPECT_FALSE(QuitEndsSession(0x6F626974, 0)) << "kAEApplicationDied 'obit'";
  // The bytes of 'rlgo' in the other order, as a reader that got them wrong sees it.
  EXPECT_FALSE(QuitEndsSession(0x6F676C72, 0x6F676C72));
}

}  // namespace
}  // namespace corvane
