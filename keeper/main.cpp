// The keeper (see hand_off.h): started by the installer at the start of a
// run, beside which it lies in the bundle; never by hand. Small on purpose:
// the engine alone, no toolkit.
#include "corvane/engine/hand_off.h"

int main(int argc, char** argv) { return corvane::RunKeeper(argc, argv); }
