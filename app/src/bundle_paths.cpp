#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "corvane/app/platform_services.h"
#include "corvane/app/posix_services.h"
#include "corvane/engine/install_plan.h"
#include "corvane/engine/install_process.h"

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace corvane {
namespace {

std::string ExecutablePath() {
#ifdef __linux__
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
#elif defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(std::char_traits<char>::length(path.c_str()));
  return path;
#else
  return {};
#endif
}

}  // namespace

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ResourceDirectoryForExecutableDir(const std::string& executableDir) {
  const std::filesystem::path dir(executableDir);
  const std::filesystem::path contents = dir.parent_path();
  if (dir.filename() == "MacOS" && contents.filename() == "Contents" &&
      contents.parent_path().extension() == ".app") {
    return (contents / "Resources").string();
  }
  return executableDir;
}

std::string BundleExecutablePath(const std::string& bundlePath) {
  std::filesystem::path bundle(bundlePath);
  if (!bundle.has_filename()) bundle = bundle.parent_path();
  return (bundle / "Contents/MacOS" / bundle.stem()).string();
}

std::string PlatformServices::keeperPath() {
  const std::string directory = ExecutableDirectory();
  return directory.empty() ? directory : AppendPathComponent(directory, kKeeperName);
}

}  // namespace corvane
