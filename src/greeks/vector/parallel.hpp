// Splitting an element-wise loop into contiguous chunks, one per thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <exception>
#include <thread>
#include <vector>

namespace greeks::vector {

// Below this many elements a thread costs more than it saves.
inline constexpr std::size_t parallel_threshold = 100'000;
// The smallest chunk worth a thread of its own.
inline constexpr std::size_t min_chunk = 50'000;

// How many threads a loop over n elements uses: `requested` (0 means one per core), never more
// than there are chunks of min_chunk elements, and one below parallel_threshold.
inline unsigned thread_count(std::size_t n, unsigned requested) {
    if (n < parallel_threshold) return 1;
    unsigned wanted =
        requested != 0 ? requested : std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>(wanted, n / min_chunk));
}

// Calls work(begin, end) on contiguous chunks that cover [0, n). The calling thread takes the
// first chunk; when the system refuses a thread (or the memory to track one), the calling thread
// does that chunk too, so nothing is thrown: callers run this with the GIL released. Every
// element is computed by the same code whatever the chunking, so results do not depend on it.
template <class Work>
void for_each_chunk(std::size_t n, unsigned threads, Work work) noexcept {
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads > 1 ? threads - 1 : 0);
    } catch (const std::bad_alloc&) {
        threads = 1;
    }
    if (threads <= 1) {
        work(std::size_t{0}, n);
        return;
    }
    std::size_t chunk = (n + threads - 1) / threads;
    for (std::size_t begin = chunk; begin < n; begin += chunk) {
        std::size_t end = std::min(n, begin + chunk);
        try {
            helpers.emplace_back(work, begin, end);
        } catch (const std::exception&) {  // refused: no thread, or no memory for one
            work(begin, end);
        }
    }
    work(std::size_t{0}, std::min(n, chunk));
    for (std::thread& helper : helpers) helper.join();
}

}  // namespace greeks::vector
