// SPDX-License-Identifier: MIT
// Pages with an inaccessible page on either side, for the tests of the
// kernels' bounds: a block that starts at the first usable byte or ends at
// the last one has no readable or writable byte beyond it, so a full-width
// access past either end crashes.
#pragma once

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>

namespace base64_test {

class Guarded_pages {
 public:
  explicit Guarded_pages(std::size_t pages) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    size_ = (pages + 2) * page_;
    void* p = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<char*>(p);
    if (mprotect(base_ + page_, pages * page_, PROT_READ | PROT_WRITE) != 0) {
      munmap(base_, size_);
      base_ = nullptr;
    }
    usable_ = pages * page_;
  }
  ~Guarded_pages() {
    if (base_) munmap(base_, size_);
  }
  Guarded_pages(const Guarded_pages&) = delete;
  Guarded_pages& operator=(const Guarded_pages&) = delete;

  bool ok() const { return base_ != nullptr; }
  char* first() const { return base_ + page_; }
  // n bytes that end at the last byte before the trailing guard page.
  char* last(std::size_t n) const { return base_ + page_ + usable_ - n; }

 private:
  std::size_t page_, size_ = 0, usable_ = 0;
  char* base_ = nullptr;
};

}  // namespace base64_test
#endif
