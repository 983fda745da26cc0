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

// Clears the vector registers, where copying, comparing and encoding text
// leaves whole pieces of it: code that runs later saves them in memory (the
// dynamic linker's lazy binding, at exit say, spills every one of them onto
// the stack). Called once a run is done with its values.
__attribute__((noinline)) inline void wipe_vector_registers() {
#if defined(__x86_64__)
  // Every vector register is the caller's to lose across a call.
  if (__builtin_cpu_supports("avx512f")) {
    asm volatile(
        "vzeroall\n"
        "vpxord %%zmm16, %%zmm16, %%zmm16\n vpxord %%zmm17, %%zmm17, %%zmm17\n"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n vpxord %%zmm19, %%zmm19, %%zmm19\n"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n vpxord %%zmm21, %%zmm21, %%zmm21\n"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n vpxord %%zmm23, %%zmm23, %%zmm23\n"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n vpxord %%zmm25, %%zmm25, %%zmm25\n"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n vpxord %%zmm27, %%zmm27, %%zmm27\n"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n vpxord %%zmm29, %%zmm29, %%zmm29\n"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n vpxord %%zmm31, %%zmm31, %%zmm31\n" ::
            : "memory");
  } else if (__builtin_cpu_supports("avx")) {
    asm volatile("vzeroall" ::: "memory");
  } else {
    asm volatile(
        "xorps %%xmm0, %%xmm0\n xorps %%xmm1, %%xmm1\n xorps %%xmm2, %%xmm2\n"
        "xorps %%xmm3, %%xmm3\n xorps %%xmm4, %%xmm4\n xorps %%xmm5, %%xmm5\n"
        "xorps %%xmm6, %%xmm6\n xorps %%xmm7, %%xmm7\n xorps %%xmm8, %%xmm8\n"
        "xorps %%xmm9, %%xmm9\n xorps %%xmm10, %%xmm10\n xorps %%xmm11, %%xmm11\n"
        "xorps %%xmm12, %%xmm12\n xorps %%xmm13, %%xmm13\n xorps %%xmm14, %%xmm14\n"
        "xorps %%xmm15, %%xmm15\n" ::
            : "memory");
  }
#endif
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
