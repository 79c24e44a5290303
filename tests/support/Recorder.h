// What handlers saw on other threads, kept in the order they saw it, for the test to read.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace PondarTest {

// A list any thread may add to and read; every call takes the lock for itself alone, so a
// handler that records never waits for the test longer than one copy.
template <class T>
class TRecorder {
 public:
  void Add(T AItem) {
    std::lock_guard lock(FLock);
    FItems.push_back(std::move(AItem));
  }
  // A copy of everything recorded so far.
  std::vector<T> All() const {
    std::lock_guard lock(FLock);
    return FItems;
  }
  size_t Count() const {
    std::lock_guard lock(FLock);
    return FItems.size();
  }
  void Clear() {
    std::lock_guard lock(FLock);
    FItems.clear();
  }

 private:
  mutable std::mutex FLock;
  std::vector<T> FItems;
};

}  // namespace PondarTest
