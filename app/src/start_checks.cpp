#include <sys/resource.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "corvane/app/posix_services.h"

#ifdef __GLIBC__
#include <malloc.h>
#include <pthread.h>
#endif

namespace corvane {
namespace {

// What the window, its fonts and its threads take, the toolkit's reserve and
// a log of a few MiB, with room to spare; measured at about 140 MiB for the
// first two.
constexpr std::uint64_t kLeastAddressSpace = std::uint64_t{256} << 20;
// The main thread's stack, which the limit bounds: a whole install took 96
// KiB here (88 KiB crashed in fontconfig), with room for other fonts, a
// screen reader and the release build.
constexpr std::uint64_t kLeastStack = std::uint64_t{256} << 10;
// Thread stacks are reserved whole; none of ours, nor the toolkit's, needs
// more (a Mac gives its secondary threads 512 KiB).
constexpr std::size_t kThreadStackBytes = std::size_t{1} << 20;

}  // namespace

std::string FitAddressSpaceLimit() {
  rlimit limit{};
  const bool limited = ::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
  if (limited && limit.rlim_cur < kLeastAddressSpace) {
    return "アドレス空間の上限 (ulimit -v) が " + std::to_string(limit.rlim_cur >> 20) +
           " MiB しかありません (" + std::to_string(kLeastAddressSpace >> 20) +
           " MiB 以上が必要です)";
  }
#ifdef __GLIBC__
  // Each malloc arena past the first reserves 64 MiB of address space.
  mallopt(M_ARENA_MAX, limited ? 1 : 2);
  if (limited) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
      if (pthread_attr_setstacksize(&attributes, kThreadStackBytes) == 0) {
        pthread_setattr_default_np(&attributes);
      }
      pthread_attr_destroy(&attributes);
    }
  }
#endif
  return {};
}

std::string FitStackLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < kLeastStack) {
    return "スタックの上限 (ulimit -s) が " + std::to_string(limit.rlim_cur >> 10) +
           " KiB しかありません (" + std::to_string(kLeastStack >> 10) + " KiB 以上が必要です)";
  }
  return {};
}

std::string WhyThreadsCannotStart(int count) {
  // All alive at once, as the toolkit's will be.
  std::mutex mutex;
  std::condition_variable done;
  bool release = false;
  std::vector<std::thread> threads;
  std::string reason;
  try {
    for (int i = 0; i < count; ++i) {
      threads.emplace_back([&] {
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return release; });
      });
    }
  } catch (const std::system_error& error) {
    reason = error.what();
  }
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  done.notify_all();
  for (std::thread& thread : threads) thread.join();
  return reason;
}

}  // namespace corvane
