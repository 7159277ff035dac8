// SPDX-License-Identifier: BSD-3-Clause
// Constants of the ccid family plug-in.
#pragma once

#include <winscard.h>

#include <cstddef>
#include <cstdint>

#include "qvk_segment.h"

#define QVK_CCID_EXPORT extern "C" __attribute__((visibility("default")))

namespace qvk::ccid {

// The caller's reader list: DEV_MAX_COUNT slots of DEV_PATH_SLOT_SIZE bytes,
// each a name of at most 127 characters and its zero bytes.
inline constexpr std::size_t kSlotSize = DEV_PATH_SLOT_SIZE;
inline constexpr std::size_t kMaxListed = DEV_MAX_COUNT;
inline constexpr std::size_t kMaxNameLength = kSlotSize - 1;

// Readers looked at in one enumeration (pcscd itself serves at most 16).
inline constexpr std::size_t kMaxReaders = 64;

// Cards open at once (pcscd allows 200 per client by default).
inline constexpr std::size_t kMaxOpenCards = 256;

// The largest command and answer PC/SC carries (extended APDUs), and the
// shortest command: ISO 7816 commands have at least CLA INS P1 P2. A
// shorter one is no APDU (a reader driver may take it for a control and
// never answer).
inline constexpr std::size_t kMaxApdu = MAX_BUFFER_SIZE_EXTENDED;
inline constexpr std::size_t kMinApdu = 4;

inline constexpr DWORD kProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
inline constexpr std::uint32_t kNoAnswer = QVK_STATUS_NO_ANSWER;

}  // namespace qvk::ccid
