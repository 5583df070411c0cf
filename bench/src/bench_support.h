#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

// Monotonic clock, shared by every process on the machine, in nanoseconds.
std::int64_t NowNs();
double MsBetween(std::int64_t fromNs, std::int64_t toNs);

double PeakRssMb();
double CurrentRssMb();
// User plus system time of this process, all threads.
double CpuSeconds();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents, bool executable = false);
void MakeDirectories(const std::string& path);
std::string ExecutablePath();

double Median(std::vector<double> values);
// Nearest-rank percentile, p in (0, 100].
double Percentile(std::vector<double> values, double p);

struct ChildResult {
  int exitStatus = -1;
  double elapsedMs = 0;
  std::map<std::string, std::string> values;  // key=value lines of its standard output
};

// Runs argv[0] (an absolute path) and waits. With captureValues the child's
// standard output is parsed as key=value lines; otherwise it goes to
// /dev/null, as does standard error unless keepStderr.
ChildResult RunChild(const std::vector<std::string>& argv, bool captureValues, bool keepStderr,
                     std::int64_t* spawnNs = nullptr);
// The same; once the child prints `mark` on a line of its own, `atMark` is
// called, and then the child's standard input is closed: its word to end.
ChildResult RunChildMarked(const std::vector<std::string>& argv, bool captureValues,
                           bool keepStderr, std::int64_t* spawnNs, const std::string& mark,
                           const std::function<void(int pid, ChildResult& result)>& atMark);

// The workloads that pour output into the log. Each one's script produces a
// known output, kept in <workdir>/data/<name>.txt or generated on demand.
struct Workload {
  std::string name;
  std::string description;
  bool bounded = false;  // more than the log keeps: only the end of it stays
  int maxRuns = 1000;    // the slowest run fewer times
};
const std::vector<Workload>& HeavyWorkloads();

// Paths of one workload's scratch bundle and home.
struct WorkloadPaths {
  std::string resources;  // <bundle>/Contents/Resources
  std::string home;
};
WorkloadPaths PathsFor(const std::string& workdir, const std::string& name);

// Size of a workload's output, and its last `bytes` bytes (all of it when
// that is more).
std::uintmax_t ExpectedOutputSize(const std::string& workdir, const std::string& name);
std::string ExpectedOutputTail(const std::string& workdir, const std::string& name,
                               std::uintmax_t bytes);

// The gigabyte workload's output, written to `fd` at far more than the
// installer takes it; and the shell command that runs it.
int WriteGigabyteLines(int fd);
std::string GigabyteProducer();

// Writes the data files and payloads every workload needs.
void PrepareWorkdir(const std::string& workdir);

// The slow workload: lines a few at a time with pauses between, as a
// package manager prints them. Its script touches this file at its end.
std::string SlowDoneMarker(const std::string& workdir);

// Context switches of each thread of a process, by thread id: every time a
// thread slept and woke, or was put off the core.
std::map<int, std::uint64_t> ThreadSwitches(int pid);
// Switches between two readings: of threads in both, what they added; of new
// ones, all they had.
std::uint64_t SwitchesBetween(const std::map<int, std::uint64_t>& before,
                              const std::map<int, std::uint64_t>& after);

}  // namespace bench
