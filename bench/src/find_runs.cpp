// The log's find in process, as the window runs it (slices on the main
// thread, ICU's folding, case ignored), against glibc's memmem over a copy of
// the same bytes, exact case.
#include "find_runs.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>

#include "bench_support.h"
#include "corvane/app/log_search.h"
#include "corvane/app/log_store.h"
#include "corvane/qt/find_bar.h"

namespace bench {
namespace {

// Runs what is posted until nothing is.
class DrainQueue : public corvane::MainQueue {
 public:
  void post(std::function<void()> closure) override { closures_.push_back(std::move(closure)); }
  void postAfter(std::chrono::milliseconds /*delay*/, std::function<void()> closure) override {
    post(std::move(closure));
  }
  void drain() {
    while (!closures_.empty()) {
      const std::function<void()> closure = std::move(closures_.front());
      closures_.pop_front();
      closure();
    }
  }

 private:
  std::deque<std::function<void()>> closures_;
};

// Every place of `needle`, overlapping ones too, as the find counts them; or
// only whether there is one.
std::uint64_t MemmemCount(const std::string& text, const std::string& needle, bool firstOnly) {
  std::uint64_t count = 0;
  const char* const end = text.data() + text.size();
  for (const char* at = text.data();; ++at) {
    at = static_cast<const char*>(
        ::memmem(at, static_cast<std::size_t>(end - at), needle.data(), needle.size()));
    if (at == nullptr) return count;
    ++count;
    if (firstOnly) return count;
  }
}

}  // namespace

int RunFindSpeed(const std::string& workdir) {
  // Bulk output with Japanese among it, more than is kept, and last the
  // line a reader looks for.
  corvane::LogStore store;
  for (const char* name : {"bulk", "japanese", "scroll"}) {
    store.append(ReadFile(workdir + "/data/" + name + ".txt"));
  }
  store.append("E: No space left on device (28)\n");
  const std::string kept = store.text();

  auto queue = std::make_shared<DrainQueue>();
  corvane::LogSearch search(store, queue, [] {});
  const std::unique_ptr<corvane::TextFolding> folding = corvane::qt::MakeIcuFolding();
  // Case ignored: each timed from the keystroke to the last match counted.
  const auto find = [&](const char* text) {
    const std::int64_t start = NowNs();
    search.start(text, folding.get());
    queue->drain();
    return MsBetween(start, NowNs());
  };
  const auto memmem = [&](const char* text, bool firstOnly, std::uint64_t& count) {
    const std::int64_t start = NowNs();
    count = MemmemCount(kept, text, firstOnly);
    return MsBetween(start, NowNs());
  };
  std::uint64_t memmemEnd = 0;
  std::uint64_t memmemCommon = 0;
  const double endMemmemMs = memmem("No space left", true, memmemEnd);
  const double endMs = find("no space LEFT");
  // Its count used, lest memmem, a pure function, be left out.
  const bool endOk = memmemEnd == 1 && search.complete() && search.count() == 1 &&
                     search.firstFrom(store.beginOffset())->from ==
                         store.endOffset() - std::strlen("No space left on device (28)\n");
  const double commonMemmemMs = memmem("install", false, memmemCommon);
  const double commonMs = find("install");
  const bool commonOk = search.count() == memmemCommon && memmemCommon > 100'000;
  std::printf(
      "kept_mb=%.1f\nend_ms=%.1f\nend_memmem_ms=%.1f\ncommon_ms=%.1f\ncommon_memmem_ms=%.1f\n"
      "common_count=%.0f\nfind_ok=%d\n",
      static_cast<double>(kept.size()) / 1e6, endMs, endMemmemMs, commonMs, commonMemmemMs,
      static_cast<double>(search.count()), endOk && commonOk ? 1 : 0);
  return endOk && commonOk ? 0 : 1;
}

}  // namespace bench
