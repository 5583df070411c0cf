#pragma once

#include <signal.h>

namespace corvane {

// Makes what the program inherits from whoever started it safe to run with.
// Call first thing in main, before any thread exists.
// - Descriptors 0, 1 and 2 closed: each gets /dev/null. Otherwise the next
//   file the program opens (the display connection, say) takes the number,
//   and a warning written to "standard error" goes into that connection.
// - SIGCHLD ignored: set back to its default, or the system reaps the script
//   itself and its exit status is lost.
// - SIGPIPE: ignored, so that a standard error nobody reads fails a write
//   instead of ending the program.
// - SIGXFSZ: ignored, so that a file size limit (ulimit -f) fails the log
//   file's write instead of ending the program.
void SettleInheritedState();

// What programs we start get back at its default: SIGPIPE, and SIGXFSZ when
// it was at its default before we ignored it.
sigset_t SignalsChildrenGetAtDefault();

}  // namespace corvane
