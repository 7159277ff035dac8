// SPDX-License-Identifier: BSD-3-Clause
#include "allocation_hook.h"

#include <cstdlib>
#include <new>

namespace qvk::test {
namespace {
long count = 0;
int nothrow_countdown = 0;

void *allocate(std::size_t size) {
    ++count;
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

long allocation_count() { return count; }
void fail_nothrow_allocation(int n) { nothrow_countdown = n; }

}  // namespace qvk::test

// Every replaced allocation comes from malloc() and goes back through free(),
// also under a sanitizer that would otherwise pair its own new and delete.
void *operator new(std::size_t size) {
    if (void *p = qvk::test::allocate(size)) return p;
    throw std::bad_alloc();
}

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    using qvk::test::nothrow_countdown;
    if (nothrow_countdown > 0 && --nothrow_countdown == 0) return nullptr;
    return qvk::test::allocate(size);
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
