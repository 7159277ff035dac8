// One request, carried out without any IPC: from the request block to the
// response image. The request loop calls it for every posted block; tests
// and fuzzers call it directly.
#pragma once

#include <array>
#include <cstdint>

#include "qvk_segment.h"

using srv_block = std::array<std::uint8_t, SHM_BLOCK_SIZE>;

// Carries out the request in a private copy of the block and rewrites all of
// response: command echoed at 0, payload length L at 4, the payload at 8,
// zeros after it. Returns false, and answers nothing, for a command byte
// other than 10 to 13. Uses working buffers reserved once; allocates only
// the record of a newly opened handle.
bool srv_dispatch_request(const srv_block &request, srv_block &response) noexcept;
