#pragma once

#include <cstddef>

namespace bench {

// The producer's stream length nearest below `approximate`: whole lines only.
std::size_t ProducedBytes(std::size_t approximate);
// Writes `bytes` of text to standard output in 64 KiB writes.
int RunProducer(std::size_t bytes);
// Prints total_ms for `bytes` of producer output through the runner.
int RunEngineThroughput(std::size_t bytes);

}  // namespace bench
