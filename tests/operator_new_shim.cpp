// A standard operator new for the low-memory test of the sanitized run: the
// address sanitizer's own operator new ends the process when an allocation
// fails, where the standard one throws std::bad_alloc. Preloaded ahead of the
// sanitizer runtime, these forward to its malloc and free, so the sanitizer
// still sees every allocation.
#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) {
  void* memory = std::malloc(std::max<std::size_t>(size, 1));
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) {
  void* memory = nullptr;
  const auto align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
  if (posix_memalign(&memory, align, std::max<std::size_t>(size, 1)) != 0) throw std::bad_alloc();
  return memory;
}

template <typename Allocate, typename... Args>
void* without_throwing(Allocate allocate_memory, Args... args) noexcept {
  try {
    return allocate_memory(args...);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) {
  return allocate(size);
}
void* operator new[](std::size_t size) {
  return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_aligned(size, alignment);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return without_throwing(allocate, size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return without_throwing(allocate, size);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return without_throwing(allocate_aligned, size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return without_throwing(allocate_aligned, size, alignment);
}

void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete[](void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
  std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(memory);
}
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(memory);
}
