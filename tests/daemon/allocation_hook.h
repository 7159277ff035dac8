// SPDX-License-Identifier: BSD-3-Clause
// Replaces the program's operator new: counts allocations, and can make a
// chosen non-throwing allocation fail, as the daemon's record allocation does
// when memory is exhausted.
#pragma once

namespace qvk::test {

// Allocations through any operator new since the program started.
long allocation_count();
// The n-th non-throwing allocation from now on (1 = the next) returns null.
void fail_nothrow_allocation(int n);

}  // namespace qvk::test
