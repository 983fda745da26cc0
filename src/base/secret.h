// SPDX-License-Identifier: Apache-2.0
// Storage for credentials that wipes itself before its memory is released.
// Results: append throws std::bad_alloc (nothing changed) when memory runs out.
#ifndef VELMORA_SECRET_H_
#define VELMORA_SECRET_H_

#include <string.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>

// Clears the vector registers, where copying, comparing and encoding text
// leaves whole pieces of it: code that runs later saves them in memory (the
// dynamic linker's lazy binding, at exit say, spills every one of them onto
// the stack, and so does a signal). wipe_bytes calls it, and main once a run
// is done with its values.
#if defined(__x86_64__)
// The registers each statement zeroes are its clobbers, so that the compiler
// keeps nothing of the caller's in them across it (inlined or not).
#define VELMORA_XMM_LOW                                                                    \
  "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
      "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
// The upper sixteen exist with AVX-512 only, and can be named only there.
__attribute__((target("avx512f"), noinline)) inline void wipe_upper_vector_registers() {
  asm volatile(
      "vpxord %%zmm16, %%zmm16, %%zmm16\n vpxord %%zmm17, %%zmm17, %%zmm17\n"
      "vpxord %%zmm18, %%zmm18, %%zmm18\n vpxord %%zmm19, %%zmm19, %%zmm19\n"
      "vpxord %%zmm20, %%zmm20, %%zmm20\n vpxord %%zmm21, %%zmm21, %%zmm21\n"
      "vpxord %%zmm22, %%zmm22, %%zmm22\n vpxord %%zmm23, %%zmm23, %%zmm23\n"
      "vpxord %%zmm24, %%zmm24, %%zmm24\n vpxord %%zmm25, %%zmm25, %%zmm25\n"
      "vpxord %%zmm26, %%zmm26, %%zmm26\n vpxord %%zmm27, %%zmm27, %%zmm27\n"
      "vpxord %%zmm28, %%zmm28, %%zmm28\n vpxord %%zmm29, %%zmm29, %%zmm29\n"
      "vpxord %%zmm30, %%zmm30, %%zmm30\n vpxord %%zmm31, %%zmm31, %%zmm31\n" ::
          : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24",
            "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "memory");
}
#endif

__attribute__((noinline)) inline void wipe_vector_registers() {
#if defined(__x86_64__)
  // Every vector register is the caller's to lose across a call.
  if (__builtin_cpu_supports("avx512f")) wipe_upper_vector_registers();
  if (__builtin_cpu_supports("avx")) {
    asm volatile("vzeroall" ::: VELMORA_XMM_LOW, "memory");
  } else {
    asm volatile(
        "xorps %%xmm0, %%xmm0\n xorps %%xmm1, %%xmm1\n xorps %%xmm2, %%xmm2\n"
        "xorps %%xmm3, %%xmm3\n xorps %%xmm4, %%xmm4\n xorps %%xmm5, %%xmm5\n"
        "xorps %%xmm6, %%xmm6\n xorps %%xmm7, %%xmm7\n xorps %%xmm8, %%xmm8\n"
        "xorps %%xmm9, %%xmm9\n xorps %%xmm10, %%xmm10\n xorps %%xmm11, %%xmm11\n"
        "xorps %%xmm12, %%xmm12\n xorps %%xmm13, %%xmm13\n xorps %%xmm14, %%xmm14\n"
        "xorps %%xmm15, %%xmm15\n" ::
            : VELMORA_XMM_LOW, "memory");
  }
#endif
}

// Zeroes the stack below the caller's frame, where the code it called left
// copies of registers: a library's first call of a function, bound lazily
// by the dynamic linker, saves every vector register there, whatever piece
// of a value one held (seen with Debian 13's libraries). main calls it once
// a run is done with its values. Only pages the run has touched are zeroed
// (at most 256 KiB down): a page never touched holds nothing, and touching
// it would cost a page fault each.
void wipe_stack();

// Overwrites n bytes at p in a way the compiler may not drop as a dead
// store, and the vector registers that the last work on them used.
inline void wipe_bytes(void* p, std::size_t n) {
  if (p != nullptr && n != 0) explicit_bzero(p, n);
  wipe_vector_registers();
}

// A growable, NUL-terminated byte string for secret text. Unlike std::string
// it has no inline small-string buffer, and it wipes each block before it
// lets go of it (growing, or at the end), so no byte it ever held is left in
// memory the process has freed. It wipes what was ever written to the block
// (up to the furthest end of its text and NUL): room reserved but never
// filled is never touched, so a large block costs only the pages it uses.
class SecretText {
 public:
  SecretText() = default;
  explicit SecretText(std::string_view text) { append(text.data(), text.size()); }
  SecretText(SecretText&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        written_(std::exchange(other.written_, 0)) {}
  SecretText& operator=(SecretText&& other) noexcept {
    if (this != &other) {
      release();
      bytes_ = std::exchange(other.bytes_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      written_ = std::exchange(other.written_, 0);
    }
    return *this;
  }
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  ~SecretText() { release(); }

  // Appends n bytes; strong guarantee: on std::bad_alloc nothing changes.
  void append(const char* data, std::size_t n) {
    if (n == 0) return;
    // Grow geometrically so that a long line costs linear time.
    if (capacity_ < size_ + n + 1) grow(std::max({size_ + n, 2 * capacity_, std::size_t{63}}));
    std::memcpy(bytes_ + size_, data, n);
    size_ += n;
    bytes_[size_] = '\0';
    note_written();
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void push_back(char c) { append(&c, 1); }

  // Makes room for n bytes in all without growing again (std::bad_alloc as
  // append).
  void reserve(std::size_t n) {
    if (capacity_ < n + 1) grow(n);
  }
  // Appends n bytes and returns where they start, to be filled in place (by
  // read(2), say): they hold whatever the block held, and only the NUL after
  // them is written. shrink() wipes what was not filled (std::bad_alloc as
  // append).
  char* extend(std::size_t n) {
    if (capacity_ < size_ + n + 1) grow(std::max(size_ + n, 2 * capacity_));
    char* start = bytes_ + size_;
    size_ += n;
    bytes_[size_] = '\0';
    note_written();
    return start;
  }
  // Keeps the first n bytes and wipes the rest.
  void shrink(std::size_t n) noexcept {
    if (n >= size_) return;
    wipe_bytes(bytes_ + n, size_ - n);
    size_ = n;
  }

  // Wipes the text but keeps the block for reuse.
  void clear() noexcept { shrink(0); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const char* c_str() const noexcept { return bytes_ != nullptr ? bytes_ : ""; }
  std::string_view view() const noexcept { return {c_str(), size_}; }

 private:
  // A block for n bytes and the NUL, the text moved over and the old block
  // wiped and freed.
  void grow(std::size_t n) {
    char* fresh = new char[n + 1];
    if (size_ != 0) std::memcpy(fresh, bytes_, size_);
    fresh[size_] = '\0';
    release();
    bytes_ = fresh;
    capacity_ = n + 1;
    note_written();
  }
  void note_written() noexcept { written_ = std::max(written_, size_ + 1); }
  void release() noexcept {
    wipe_bytes(bytes_, written_);
    delete[] bytes_;
    bytes_ = nullptr;
    capacity_ = 0;
    written_ = 0;
  }

  char* bytes_ = nullptr;  // size_ bytes and a NUL, or none yet
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // of the block, the NUL's byte included
  std::size_t written_ = 0;   // bytes of the block ever written to, from its start
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
