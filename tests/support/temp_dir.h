#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace corvane::testing {

// A fresh directory under the system's temporary folder, removed afterwards.
// The name holds a space, an apostrophe, a dollar sign and Japanese, so every
// path built from it tests quoting on the way.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "corvane") {
    std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
    path_ = base_ / "Team's $HOME ホーム";
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    // Restore permissions a test took away, so the tree can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(
             base_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
      }
    }
    std::filesystem::permissions(base_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(base_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path base_;
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& content,
                      std::filesystem::perms perms = std::filesystem::perms::owner_read |
                                                     std::filesystem::perms::owner_write) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  std::filesystem::permissions(path, perms);
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline constexpr auto kExecutable = std::filesystem::perms::owner_all;

}  // namespace corvane::testing
