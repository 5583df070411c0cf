#pragma once

#include <string>

namespace bench {

struct ReportOptions {
  std::string workdir;
  std::string payloadDir;
  std::string platform;  // only names the lines
  int runs = 3;
  int idleRuns = 1;
  bool check = false;  // exactness only, one run each, no timing bars
  bool gui = true;
  bool engine = true;
  bool slowOnly = false;  // the slow workload alone
};

int RunReport(const ReportOptions& options);
// The idle and slow workloads in the AppKit build, `executable` in its
// bundle, run and measured from outside: their figures, as RunReport prints.
int RunAppKitSlow(const std::string& workdir, const std::string& executable);

}  // namespace bench
