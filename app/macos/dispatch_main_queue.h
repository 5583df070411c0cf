#pragma once

#include <memory>

#include "corvane/engine/main_queue.h"

namespace corvane::macos {

// The main dispatch queue, which the AppKit event loop drains on the main thread.
std::shared_ptr<MainQueue> MakeDispatchMainQueue();

}  // namespace corvane::macos
