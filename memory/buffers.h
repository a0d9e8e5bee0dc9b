// Small buffer helpers shared by the process-list code: calloc'd memory that frees itself, and
// a bounded, always terminated copy. Allocation failures are answered, never thrown.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

// Copies at most capacity - 1 characters of source and terminates the copy.
inline void CopyBounded(char* destination, size_t capacity, const char* source, size_t length) {
  if (length >= capacity) length = capacity - 1;
  std::memcpy(destination, source, length);
  destination[length] = '\0';
}

// Memory from calloc, freed on every way out.
template <typename T>
class Allocation {
 public:
  explicit Allocation(size_t count) : data_(static_cast<T*>(std::calloc(count, sizeof(T)))) {}
  ~Allocation() { std::free(data_); }
  Allocation(const Allocation&) = delete;
  Allocation& operator=(const Allocation&) = delete;
  T* get() const { return data_; }
  // Replaces the memory by a new zeroed block; false (and no memory) when it cannot be had.
  bool Renew(size_t count) {
    std::free(data_);
    data_ = static_cast<T*>(std::calloc(count, sizeof(T)));
    return data_ != nullptr;
  }

 private:
  T* data_;
};
