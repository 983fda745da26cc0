// SPDX-License-Identifier: Apache-2.0
#include "secret.h"

#include <alloca.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {

constexpr std::size_t kStackDepth = 256 * 1024;  // how far down the run's calls may have gone
constexpr std::size_t kPagesAtOnce = 16;

// The lowest page of [top - kStackDepth, top) that is resident, or top. A
// page below the stack's mapping ends the search: the stack is one mapping.
std::uintptr_t lowest_resident_page(std::uintptr_t top, std::size_t page) {
  std::uintptr_t lowest = top;
  for (std::uintptr_t end = top; top - end < kStackDepth; end -= kPagesAtOnce * page) {
    unsigned char resident[kPagesAtOnce] = {};
    const std::uintptr_t start = end - kPagesAtOnce * page;
    if (mincore(reinterpret_cast<void*>(start), kPagesAtOnce * page, resident) == 0) {
      for (std::size_t i = 0; i < kPagesAtOnce; ++i) {
        if ((resident[i] & 1) != 0) {
          lowest = start + i * page;
          break;
        }
      }
      continue;
    }
    // Part of this stretch is not mapped: look page by page from its top.
    for (std::uintptr_t at = end - page; at >= start; at -= page) {
      unsigned char one = 0;
      if (mincore(reinterpret_cast<void*>(at), page, &one) != 0) return lowest;
      if ((one & 1) != 0) lowest = at;
    }
    return lowest;
  }
  return lowest;
}

}  // namespace

// Not instrumented, so that the sanitizers' own stack frames do not stand
// in for the real stack.
__attribute__((noinline, no_sanitize_address)) void wipe_stack() {
  char here = 0;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const auto top = reinterpret_cast<std::uintptr_t>(&here) & ~(std::uintptr_t{page} - 1);
  const std::uintptr_t lowest = lowest_resident_page(top, page);
  const std::size_t depth = reinterpret_cast<std::uintptr_t>(&here) - lowest;
  // The block lies just below this frame and reaches down to the lowest page.
  char* below = static_cast<char*>(alloca(depth));
  explicit_bzero(below, depth);
  asm volatile("" : : "r"(below) : "memory");  // the zeroes are kept
}
