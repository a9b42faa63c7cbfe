#pragma once

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace cli {

// Items numbered 0, 1, 2, ... handed in by several threads in any order and
// taken out in their order by one. put() waits while its item is `capacity`
// or more places ahead of the next one to be taken, so at most `capacity`
// items wait here, and the one taken next is never kept waiting.
template <class T>
class ReorderBuffer {
public:
  explicit ReorderBuffer(size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

  // Keeps item `index`; false, and the item dropped, once closed.
  bool put(size_t index, T item)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || index < next_ + capacity_; });
    if (closed_)
      return false;
    items_.emplace(index, std::move(item));
    changed_.notify_all();
    return true;
  }

  // The next item in order, once it is there; nothing once closed.
  std::optional<T> take()
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || items_.count(next_) > 0; });
    if (closed_)
      return std::nullopt;
    auto it = items_.find(next_);
    std::optional<T> item(std::move(it->second));
    items_.erase(it);
    ++next_;
    changed_.notify_all();
    return item;
  }

  // Drops what waits and wakes every waiter: put() and take() return at once from now on.
  void close()
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    items_.clear();
    changed_.notify_all();
  }

private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<size_t, T> items_;
  size_t next_ = 0;
  bool closed_ = false;
};

} // namespace cli
