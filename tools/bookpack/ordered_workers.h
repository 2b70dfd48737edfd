// Work on numbered items in parallel, results taken in item order: the
// archive is compressed on every core while its entries are still written
// one after the other, so the output does not depend on the threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace bookpack {

// Calls produce(i, worker) for every i in [0, count) on `threads` threads
// (each with its own worker number, for per-thread state), and consume(i,
// result) on the calling thread in order of i. At most `window` results wait
// to be consumed, which bounds the memory they hold. When consume returns
// false no further item is started and RunOrdered returns false.
template <typename Result>
bool RunOrdered(size_t count, unsigned threads, size_t window,
                const std::function<Result(size_t, unsigned)>& produce,
                const std::function<bool(size_t, Result&)>& consume) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<Result>> results(count);
  size_t next = 0, consumed = 0;
  bool stop = false;

  auto work = [&](unsigned worker) {
    for (;;) {
      size_t item;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || next >= count || next < consumed + window; });
        if (stop || next >= count) return;
        item = next++;
      }
      Result result = produce(item, worker);
      {
        std::lock_guard<std::mutex> lock(mutex);
        results[item] = std::move(result);
      }
      changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work, t);

  bool ok = true;
  for (size_t i = 0; i < count && ok; ++i) {
    std::optional<Result> result;
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return results[i].has_value(); });
      result = std::move(results[i]);
      results[i].reset();
    }
    ok = consume(i, *result);
    {
      std::lock_guard<std::mutex> lock(mutex);
      consumed = i + 1;
      stop = !ok;
    }
    changed.notify_all();
  }
  for (std::thread& t : pool) t.join();
  return ok;
}

}  // namespace bookpack
