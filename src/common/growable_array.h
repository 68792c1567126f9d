// A growable array of trivially copyable elements whose storage is one
// zero-filled block of the process's global heap.
#pragma once

#include <cstring>
#include <type_traits>

#include "platform/global_heap.h"

namespace zep {

using BlockAllocFn = void* (*)(size_t bytes);

// Allocation of every GrowableArray block goes through this pointer so that
// tests can make growth fail.
inline BlockAllocFn& GrowableArrayAllocator() {
  static BlockAllocFn allocator = &platform::GlobalAllocZeroed;
  return allocator;
}

template <typename T>
class GrowableArray {
  static_assert(std::is_trivially_copyable<T>::value, "elements are copied bytewise");

 public:
  GrowableArray() = default;
  virtual ~GrowableArray() { SetSize(0); }
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;

  int Size() const { return size_; }
  int Capacity() const { return capacity_; }
  T* Data() { return data_; }
  const T* Data() const { return data_; }
  T& operator[](int index) { return data_[index]; }
  const T& operator[](int index) const { return data_[index]; }

  bool SetSize(int newSize) {
    if (newSize < 0) return false;
    if (newSize == 0) {
      if (data_ != nullptr) platform::GlobalFreeBlock(data_);
      data_ = nullptr;
      size_ = capacity_ = 0;
      return true;
    }
    if (data_ == nullptr) {
      T* block = Allocate(newSize);
      if (block == nullptr) return false;
      data_ = block;
      capacity_ = newSize;
    } else if (newSize > capacity_) {
      // An eighth more, at least 4 and at most 1024 elements.
      int step = size_ / 8;
      if (step < 4) step = 4;
      if (step > 1024) step = 1024;
      int newCapacity = capacity_ + step;
      if (newCapacity < newSize) newCapacity = newSize;
      T* block = Allocate(newCapacity);
      if (block == nullptr) return false;
      std::memcpy(static_cast<void*>(block), data_, sizeof(T) * static_cast<size_t>(size_));
      platform::GlobalFreeBlock(data_);
      data_ = block;
      capacity_ = newCapacity;
    }
    size_ = newSize;
    return true;
  }

  // Index of the new element, or -1 when the array could not grow.
  int Append(const T& value) {
    if (!SetSize(size_ + 1)) return -1;
    data_[size_ - 1] = value;
    return size_ - 1;
  }

  int IndexOf(const T& value) const {
    for (int i = 0; i < size_; ++i)
      if (std::memcmp(&data_[i], &value, sizeof(T)) == 0) return i;
    return -1;
  }

  // Removes the element at index; those behind it move down. Storage never shrinks.
  void RemoveAt(int index) {
    if (index < 0 || index >= size_) return;
    std::memmove(static_cast<void*>(&data_[index]), &data_[index + 1],
                 sizeof(T) * static_cast<size_t>(size_ - index - 1));
    --size_;
    std::memset(static_cast<void*>(&data_[size_]), 0, sizeof(T));
  }

 private:
  static T* Allocate(int count) {
    return static_cast<T*>(GrowableArrayAllocator()(sizeof(T) * static_cast<size_t>(count)));
  }

  T* data_ = nullptr;
  int size_ = 0;
  int capacity_ = 0;
};

}  // namespace zep
