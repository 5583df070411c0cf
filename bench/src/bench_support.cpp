#include "bench_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "corvane/engine/install_plan.h"

extern char** environ;

namespace bench {

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double MsBetween(std::int64_t fromNs, std::int64_t toNs) {
  return static_cast<double>(toNs - fromNs) / 1e6;
}

namespace {

double StatusFieldMb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) * 1024.0 / 1e6;
  }
  return 0;
}

}  // namespace

// Not getrusage's ru_maxrss: a spawned child inherits its parent's figure.
double PeakRssMb() { return StatusFieldMb("VmHWM:"); }

double CurrentRssMb() { return StatusFieldMb("VmRSS:"); }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return std::move(out).str();
}

void WriteFile(const std::string& path, const std::string& contents, bool executable) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  if (executable) ::chmod(path.c_str(), 0755);
}

void MakeDirectories(const std::string& path) { std::filesystem::create_directories(path); }

std::string ExecutablePath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

ChildResult RunChild(const std::vector<std::string>& argv, bool captureValues, bool keepStderr,
                     std::int64_t* spawnNs) {
  return RunChildMarked(argv, captureValues, keepStderr, spawnNs, {}, {});
}

ChildResult RunChildMarked(const std::vector<std::string>& argv, bool captureValues,
                           bool keepStderr, std::int64_t* spawnNs, const std::string& mark,
                           const std::function<void(int pid, ChildResult& result)>& atMark) {
  int fds[2] = {-1, -1};
  int input[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (captureValues) {
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // A marked child ends when its standard input does.
  if (atMark) {
    if (::pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  }
  if (!keepStderr) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& arg : args) raw.push_back(arg.data());
  raw.push_back(nullptr);

  ChildResult result;
  pid_t pid = 0;
  const std::int64_t start = NowNs();
  if (spawnNs != nullptr) *spawnNs = start;
  const int error = ::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (captureValues) ::close(fds[1]);
  if (atMark) ::close(input[0]);
  if (error != 0) {
    if (captureValues) ::close(fds[0]);
    if (atMark) ::close(input[1]);
    throw std::runtime_error(std::string("cannot start ") + raw[0] + ": " + std::strerror(error));
  }
  std::string output;
  if (captureValues) {
    char buffer[4096];
    bool marked = false;
    for (;;) {
      const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      output.append(buffer, static_cast<std::size_t>(n));
      if (atMark && !marked && output.find("\n" + mark + "\n") != std::string::npos) {
        marked = true;
        atMark(pid, result);
        ::close(std::exchange(input[1], -1));
      }
    }
    ::close(fds[0]);
  }
  if (input[1] >= 0) ::close(input[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.elapsedMs = MsBetween(start, NowNs());
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) result.values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return result;
}

const std::vector<Workload>& HeavyWorkloads() {
  static const std::vector<Workload> workloads = {
      {"lines", "200,000 short lines, one write each"},
      {"lines-once", "the same 12 MB in one write"},
      {"bulk", "50 MiB in 64 KiB writes"},
      {"japanese", "20,000 Japanese lines through cat"},
      {"huge", "one 8 MiB line of ASCII, no line feed"},
      {"emoji", "one 8 MiB line of emoji, no line feed"},
      {"scroll", "100 MiB of lines, then a scroll from the end to the start", false, 2},
      // The slow ones take part in two rounds at most.
      {"progress", "10,000 updates of one \\r progress line, a few hundred a second", false, 2},
      {"blank", "10 MiB of empty lines", true, 2},
      {"gigabyte", "1 GiB of 80-byte lines", true, 2},
      {"find", "the same, searched by the find bar as it comes", true, 2},
      // What a run costs with no output: the gigabyte's allowance for start-up.
      {"empty", "no output at all", false, 2},
  };
  return workloads;
}

WorkloadPaths PathsFor(const std::string& workdir, const std::string& name) {
  const std::string root = workdir + "/" + name;
  return {root + "/Bench.app/Contents/Resources", root + "/home"};
}

namespace {

constexpr int kShortLines = 200'000;
constexpr int kProgressUpdates = 10'000;
constexpr const char* kProgressFormat =
    "\\rDownloading corvane-runtime.tar.gz %3d.%02d%% %5d/10000";
constexpr std::uintmax_t kBlankBytes = 10U << 20;
// Lines of 80 bytes: a 10-digit number, a space, this, and a line feed.
constexpr std::string_view kGigabyteText =
    "the quick brown fox jumps over the lazy dog and then goes home again";
static_assert(kGigabyteText.size() == 68);
constexpr std::uintmax_t kGigabyteLines = (std::uintmax_t{1} << 30) / 80;
constexpr int kSlowLines = 1'500;
constexpr const char* kSlowLineFormat =
    "Unpacking corvane-runtime (0.4.1-%04d) over (0.4.0) ... done\n";
// 60 bytes a line with its line feed: 12 MB in all.
constexpr const char* kShortLineFormat =
    "line %06d of the heavy output test: abcdefghijklmnopqrstu\n";

std::string ShortLines() {
  std::string out;
  out.reserve(static_cast<std::size_t>(kShortLines) * 60);
  char line[128];
  for (int i = 0; i < kShortLines; ++i) {
    const int n = std::snprintf(line, sizeof line, kShortLineFormat, i);
    out.append(line, static_cast<std::size_t>(n));
  }
  return out;
}

// Deterministic, so every run sees the same text.
class Random {
 public:
  std::uint32_t next(std::uint32_t bound) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state_ >> 33) % bound;
  }

 private:
  std::uint64_t state_ = 42;
};

// Lines of 1 to 160 printable ASCII characters, `bytes` long in all.
std::string BulkText(std::size_t bytes) {
  static const char kWords[][12] = {"install", "copying", "lib/", "done", "checking", "=>",
                                    "x86_64",  "0.4.1",   "[ok]", "->",   "warning:", "build"};
  Random random;
  std::string out;
  out.reserve(bytes);
  while (out.size() < bytes) {
    const std::size_t length = 1 + random.next(160);
    std::string line;
    while (line.size() < length) {
      line += kWords[random.next(12)];
      line += ' ';
    }
    line.resize(length);
    line += '\n';
    out += line;
  }
  out.resize(bytes);
  out.back() = '\n';
  return out;
}

std::string JapaneseLines() {
  static const char* kPhrase =
      "依存関係を解決しています。パッケージを展開し、設定ファイルを更新しました。"
      "ライブラリを配置中です。しばらくお待ちください。";
  const std::string phrase(kPhrase);
  std::string out;
  char number[32];
  for (int i = 0; i < 20'000; ++i) {
    std::snprintf(number, sizeof number, "%05d: ", i);
    out += number;
    // 44 characters of the phrase, starting at a different one on each line.
    const std::size_t start = static_cast<std::size_t>(i % 40) * 3;
    std::string line = (phrase + phrase).substr(start, 44 * 3);
    out += line;
    out += '\n';
  }
  return out;
}

// One line of four-byte characters, without a line feed.
std::string EmojiLine(std::size_t bytes) {
  static const char* kFaces[] = {"😀", "😃", "🚀", "📦", "✅"};
  Random random;
  std::string out;
  out.reserve(bytes);
  while (out.size() + 4 <= bytes) {
    const char* face = kFaces[random.next(5)];
    // ✅ is three bytes: keep every character four.
    out += std::string_view(face).size() == 4 ? face : "🔧";
  }
  return out;
}

// One line without a line feed: words and spaces, as a minified log would be.
std::string HugeLine(std::size_t bytes) {
  std::string out = BulkText(bytes);
  for (char& c : out) {
    if (c == '\n') c = ' ';
  }
  out.back() = '.';
  return out;
}

std::string SlowLines() {
  std::string out;
  char line[128];
  for (int i = 0; i < kSlowLines; ++i) {
    out.append(line,
               static_cast<std::size_t>(std::snprintf(line, sizeof line, kSlowLineFormat, i)));
  }
  return out;
}

std::string ProgressUpdates() {
  std::string out;
  char line[128];
  for (int i = 0; i < kProgressUpdates; ++i) {
    // The format begins with the two characters \ and r, for bash's printf.
    out += '\r';
    out.append(line, static_cast<std::size_t>(std::snprintf(line, sizeof line, kProgressFormat + 2,
                                                            i / 100, i % 100, i)));
  }
  return out + "\n";
}

// The gigabyte workload's lines from `first` to its end.
std::string GigabyteLines(std::uintmax_t first) {
  std::string out;
  out.reserve(static_cast<std::size_t>((kGigabyteLines - first) * 80));
  char number[16];
  for (std::uintmax_t i = first; i < kGigabyteLines; ++i) {
    std::snprintf(number, sizeof number, "%010ju ", i);
    out.append(number).append(kGigabyteText).push_back('\n');
  }
  return out;
}

}  // namespace

int WriteGigabyteLines(int fd) {
  // A buffer of whole lines whose numbers are counted up in place: the
  // producer must cost far less than what it measures.
  constexpr std::size_t kLines = 819;
  std::string buffer;
  for (std::size_t i = 0; i < kLines; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%010zu ", i);
    buffer.append(number).append(kGigabyteText).push_back('\n');
  }
  for (std::uintmax_t first = 0; first < kGigabyteLines; first += kLines) {
    const auto lines =
        static_cast<std::size_t>(std::min<std::uintmax_t>(kLines, kGigabyteLines - first));
    for (std::size_t written = 0; written < lines * 80;) {
      const ssize_t n = ::write(fd, buffer.data() + written, lines * 80 - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 1;
      written += static_cast<std::size_t>(n);
    }
    // Each line's number goes up by the lines in the buffer.
    for (std::size_t i = 0; i < kLines; ++i) {
      char* digits = buffer.data() + i * 80;
      unsigned carry = kLines;
      for (int d = 9; d >= 0 && carry > 0; --d) {
        const unsigned sum = static_cast<unsigned>(digits[d] - '0') + carry;
        digits[d] = static_cast<char>('0' + sum % 10);
        carry = sum / 10;
      }
    }
  }
  return 0;
}

namespace {

void WritePayload(const std::string& workdir, const std::string& name, const std::string& command) {
  const WorkloadPaths paths = PathsFor(workdir, name);
  MakeDirectories(paths.resources + "/payload/scripts");
  MakeDirectories(paths.home);
  WriteFile(paths.resources + "/payload/scripts/install_mac_app.sh",
            "#!/bin/bash\nset -eu\n" + command + "\n", true);
}

}  // namespace

void PrepareWorkdir(const std::string& workdir) {
  const std::string data = workdir + "/data";
  MakeDirectories(data);
  auto writeData = [&](const std::string& name, const std::string& text) {
    const std::string path = data + "/" + name + ".txt";
    std::error_code ignored;
    if (std::filesystem::file_size(path, ignored) == text.size() && ReadFile(path) == text) return;
    WriteFile(path, text);
  };
  writeData("lines", ShortLines());
  writeData("lines-once", ShortLines());
  writeData("bulk", BulkText(50U << 20));
  writeData("japanese", JapaneseLines());
  writeData("huge", HugeLine(8U << 20));
  writeData("emoji", EmojiLine(8U << 20));
  writeData("scroll", BulkText(100U << 20));
  writeData("progress", ProgressUpdates());
  writeData("slow", SlowLines());
  writeData("empty", "");

  const std::string quotedData = corvane::ShellQuote(data);
  WritePayload(workdir, "lines",
               std::string("for ((i = 0; i < ") + std::to_string(kShortLines) +
                   "; i++)); do printf '" + kShortLineFormat + "' \"$i\"; done");
  WritePayload(workdir, "lines-once", "dd if=" + quotedData + "/lines-once.txt bs=16M status=none");
  WritePayload(workdir, "bulk", "dd if=" + quotedData + "/bulk.txt bs=65536 status=none");
  WritePayload(workdir, "emoji", "dd if=" + quotedData + "/emoji.txt bs=65536 status=none");
  WritePayload(workdir, "scroll", "dd if=" + quotedData + "/scroll.txt bs=65536 status=none");
  WritePayload(workdir, "japanese", "cat " + quotedData + "/japanese.txt");
  WritePayload(workdir, "huge", "dd if=" + quotedData + "/huge.txt bs=65536 status=none");
  WritePayload(workdir, "progress",
               std::string("for ((i = 0; i < ") + std::to_string(kProgressUpdates) +
                   "; i++)); do printf '" + kProgressFormat +
                   "' $((i / 100)) $((i % 100)) \"$i\"; sleep 0.002; done; echo");
  WritePayload(workdir, "blank",
               "head -c " + std::to_string(kBlankBytes) + " /dev/zero | tr '\\0' '\\n'");
  WritePayload(workdir, "gigabyte", GigabyteProducer());
  WritePayload(workdir, "find", GigabyteProducer());
  WritePayload(workdir, "idle", "sleep 10");
  WritePayload(workdir, "empty", "true");
  // 20 ms apart (a little more, for starting sleep): about 37 s.
  WritePayload(workdir, "slow",
               std::string("for ((i = 0; i < ") + std::to_string(kSlowLines) +
                   "; i++)); do printf '" + kSlowLineFormat + "' \"$i\"; sleep 0.02; done; : > " +
                   corvane::ShellQuote(SlowDoneMarker(workdir)));
}

std::string SlowDoneMarker(const std::string& workdir) { return workdir + "/slow/done"; }

std::map<int, std::uint64_t> ThreadSwitches(int pid) {
  std::map<int, std::uint64_t> switches;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream status(task.path() / "status");
    std::string line;
    std::uint64_t count = 0;
    while (std::getline(status, line)) {
      for (const char* field : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
        if (line.rfind(field, 0) == 0) count += std::stoull(line.substr(std::strlen(field)));
      }
    }
    switches[std::stoi(task.path().filename().string())] = count;
  }
  return switches;
}

std::uint64_t SwitchesBetween(const std::map<int, std::uint64_t>& before,
                              const std::map<int, std::uint64_t>& after) {
  std::uint64_t total = 0;
  for (const auto& [tid, count] : after) {
    const auto was = before.find(tid);
    total += was == before.end() ? count : count - std::min(count, was->second);
  }
  return total;
}

std::string GigabyteProducer() {
  return "exec " + corvane::ShellQuote(ExecutablePath()) + " gigabyte-lines";
}

std::uintmax_t ExpectedOutputSize(const std::string& workdir, const std::string& name) {
  if (name == "blank") return kBlankBytes;
  if (name == "gigabyte" || name == "find") return kGigabyteLines * 80;
  return std::filesystem::file_size(workdir + "/data/" + name + ".txt");
}

std::string ExpectedOutputTail(const std::string& workdir, const std::string& name,
                               std::uintmax_t bytes) {
  const std::uintmax_t size = ExpectedOutputSize(workdir, name);
  bytes = std::min(bytes, size);
  if (name == "blank") return std::string(static_cast<std::size_t>(bytes), '\n');
  std::string text = name == "gigabyte" || name == "find"
                         ? GigabyteLines(kGigabyteLines - (bytes + 79) / 80)
                         : ReadFile(workdir + "/data/" + name + ".txt");
  return text.substr(text.size() - static_cast<std::size_t>(bytes));
}

}  // namespace bench
