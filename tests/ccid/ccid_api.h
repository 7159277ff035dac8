// SPDX-License-Identifier: BSD-3-Clause
// The exports of libqvkmgrccid looked up by name in the built library, and
// the calls the tests make through them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin_library.h"
#include "qvkmgrccid.h"
#include "scripted_card.h"

namespace qvk::test {

struct Answer {
    std::uint32_t status = 0;
    std::int32_t length = -1;
    Bytes data;
};

struct CcidApi {
    PluginLibrary library{QVK_CCID_PLUGIN_PATH};
    qvk_enum_fn enumerate = library.function<qvk_enum_fn>("EnumQvDevPath");
    qvk_open_fn open_reader = library.function<qvk_open_fn>("OpenQvDev");
    qvk_close_fn close_handle = library.function<qvk_close_fn>("CloseQvDev");
    qvk_transmit_fn transmit = library.function<qvk_transmit_fn>("Icc_tsi_apiQvDev");

    // The listed reader names; every listed slot must be the name and zero bytes.
    std::vector<std::string> readers();
    // Enumerates until the list is `expected` or the time is up; the last list.
    std::vector<std::string> readers_within(const std::vector<std::string> &expected,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // One exchange offering `room` bytes in an 8192-byte buffer.
    Answer send(std::uint32_t handle, const Bytes &command, std::int32_t room = 8188);
};

}  // namespace qvk::test
