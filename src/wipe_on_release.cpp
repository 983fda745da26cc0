// SPDX-License-Identifier: Apache-2.0
// The tool's own storage for secrets wipes itself (secret.h), but the
// libraries it uses keep copies of what they read in ordinary containers
// (the JSON parser's token buffer, the text of a parse error, a string
// built on the way). So every block C++ code releases in the tool is wiped
// before it goes back to the allocator: no secret outlives its use in
// memory the process has freed. Linked into the tool only.
//
// Results: the standard operators' own; new throws std::bad_alloc.
#include <malloc.h>
#include <string.h>

#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size != 0 ? size : 1);
}

void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  explicit_bzero(block, malloc_usable_size(block));
  std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { ::operator delete(block); }
