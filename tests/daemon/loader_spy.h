// SPDX-License-Identifier: BSD-3-Clause
// Records every dlopen and dlclose of the test program (which links the
// daemon's binding code), then forwards them to the real loader.
#pragma once

#include <string>
#include <vector>

namespace qvk::test {

struct LoaderOpen {
    std::string path;
    int flags = 0;
    bool loaded = false;
};

const std::vector<LoaderOpen> &loader_opens();
int loader_closes();
void reset_loader_spy();

}  // namespace qvk::test
