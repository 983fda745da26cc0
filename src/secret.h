// SPDX-License-Identifier: Apache-2.0
// Storage for credentials that wipes itself before its memory is released.
// Results: append throws std::bad_alloc (nothing changed) when memory runs out.
#ifndef VELMORA_SECRET_H_
#define VELMORA_SECRET_H_

#include <string.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

// Overwrites n bytes at p in a way the compiler may not drop as a dead store.
inline void wipe_bytes(void* p, std::size_t n) {
  if (p != nullptr && n != 0) explicit_bzero(p, n);
}

// Allocator that wipes every block it hands back, so growth of a container
// never leaves an old copy of a secret in freed memory.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    wipe_bytes(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// A growable, NUL-terminated byte string for secret text. Unlike std::string
// it has no inline small-string buffer, so every byte it ever held lives in
// blocks that the allocator wipes.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string_view text) { append(text.data(), text.size()); }
  SecretText(SecretText&&) noexcept = default;
  SecretText& operator=(SecretText&&) noexcept = default;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { clear(); }

  // Appends n bytes; strong guarantee: on std::bad_alloc nothing changes.
  void append(const char* data, std::size_t n) {
    if (n == 0) return;
    std::size_t old = size();
    if (bytes_.capacity() < old + n + 1) {
      // Grow geometrically so that a long line costs linear time.
      std::size_t want = std::max(old + n + 1, 2 * bytes_.capacity());
      bytes_.reserve(std::max<std::size_t>(want, 64));
    }
    if (bytes_.empty()) bytes_.push_back('\0');
    bytes_.insert(bytes_.end() - 1, data, data + n);
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(char c) { append(&c, 1); }

  // Makes room for n bytes in all without growing again (std::bad_alloc as
  // append).
  void reserve(std::size_t n) {
    if (bytes_.capacity() < n + 1) bytes_.reserve(n + 1);
  }
  // Appends n zero bytes and returns where they start, to be filled in
  // place (by read(2), say); shrink() gives back what was not filled.
  char* extend(std::size_t n) {
    const std::size_t old = size();
    if (bytes_.capacity() < old + n + 1) reserve(std::max(old + n, 2 * bytes_.capacity()));
    if (bytes_.empty()) bytes_.push_back('\0');
    bytes_.insert(bytes_.end() - 1, n, '\0');
    return bytes_.data() + old;
  }
  void shrink(std::size_t n) noexcept {
    if (n >= size()) return;
    wipe_bytes(bytes_.data() + n, size() - n);
    bytes_.resize(n + 1);
  }

  // Wipes the text but keeps the block for reuse.
  void clear() noexcept {
    wipe_bytes(bytes_.data(), bytes_.size());
    bytes_.clear();
  }

  std::size_t size() const noexcept { return bytes_.empty() ? 0 : bytes_.size() - 1; }
  bool empty() const noexcept { return size() == 0; }
  const char* c_str() const noexcept { return bytes_.empty() ? "" : bytes_.data(); }
  std::string_view view() const noexcept { return {c_str(), size()}; }

 private:
  std::vector<char, WipingAllocator<char>> bytes_;  // text plus NUL, or empty
};

// A fixed, zero-filled byte area on the stack that is wiped when it goes out
// of scope, for staging areas, value buffers and formatted lines.
template <std::size_t N>
struct SecretArray {
  std::array<char, N> bytes{};
  SecretArray() = default;
  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;
  ~SecretArray() { wipe_bytes(bytes.data(), N); }
  char* data() noexcept { return bytes.data(); }
  const char* data() const noexcept { return bytes.data(); }
  static constexpr std::size_t size() noexcept { return N; }
  void zero() noexcept { wipe_bytes(bytes.data(), N); }
};

#endif  // VELMORA_SECRET_H_
