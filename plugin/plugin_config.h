// Constants of the kernel-driver family plug-in.
#pragma once

#include <cstddef>
#include <cstdint>

#define QVK_EXPORT extern "C" __attribute__((visibility("default")))

namespace qvk::udk {

// Device nodes are DEV_NODE_PREFIX followed by 0 .. DEV_NODE_COUNT - 1.
inline constexpr const char *DEV_NODE_PREFIX = "/dev/QVUsbKey";
inline constexpr int DEV_NODE_COUNT = 32;

// The caller's path list: 32 slots of 128 bytes.
inline constexpr std::size_t DEV_PATH_SLOT_SIZE = 128;

// One exchange: command and answer buffers of this size each.
inline constexpr std::size_t APDU_BUF_SIZE = 2038;
inline constexpr std::size_t MAX_RESPONSE_DATA = APDU_BUF_SIZE - 2;

inline constexpr std::uint32_t SW_SUCCESS = 0x9000;
inline constexpr std::uint32_t SW_NO_ANSWER = 0xFFFF;

}  // namespace qvk::udk
