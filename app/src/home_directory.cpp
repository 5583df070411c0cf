#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "corvane/app/posix_services.h"

namespace corvane {
namespace {

std::string PasswordDatabaseHome() {
  const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

const char* AbsoluteHomeFromEnvironment() {
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] == '/' ? home : nullptr;
}

}  // namespace

std::string UserHomeDirectory() {
  if (const char* home = AbsoluteHomeFromEnvironment()) return home;
  return PasswordDatabaseHome();
}

void SettleHomeEnvironment() {
  if (AbsoluteHomeFromEnvironment() != nullptr) return;
  if (const std::string home = PasswordDatabaseHome(); !home.empty()) {
    ::setenv("HOME", home.c_str(), 1);
  }
}

}  // namespace corvane
