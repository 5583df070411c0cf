#pragma once

namespace corvane {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed. Started
// with one closed, the next file the program opens (the display connection,
// say) takes its number, and a warning written to "standard error" then goes
// into that connection. Call first thing in main, before any thread exists.
void EnsureStandardDescriptors();

}  // namespace corvane
