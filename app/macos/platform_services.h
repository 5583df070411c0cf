#pragma once

#include <memory>

#include "corvane/app/platform_services.h"

namespace corvane::macos {

// AppKit and Foundation behind the controller's platform interface.
std::shared_ptr<PlatformServices> MakePlatformServices();

}  // namespace corvane::macos
