// SPDX-License-Identifier: BSD-3-Clause
// One request, carried out without any IPC: from the request block to the
// response image. The request loop calls it for every posted block; tests
// and fuzzers call it directly.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "qvk_segment.h"

using srv_block = std::array<std::uint8_t, SHM_BLOCK_SIZE>;

// Carries out the request and writes the response: command echoed at 0,
// payload length L at 4, the payload at 8, zeros after it. Returns false,
// and answers nothing (response untouched), for a command byte other than
// 10 to 13. Reads only the first REQ_READ_SIZE bytes of request, which must
// be a private copy. Only writes response, never reads it, so response may
// be the segment's block itself: whatever another process writes there
// meanwhile cannot change what is carried out. Uses working buffers reserved
// once; allocates only the record of a newly opened handle. requester is the
// process an open came from, when the daemon could tell (0 otherwise): the
// open records it as the handle's opener. A close or transmit whose
// requester field names another process than a handle's known opener is
// answered as for a handle that is not open. Also false, and nothing
// written, when a family call of this request was abandoned
// (family_calls.h): the thread that takes over answers.
//
// Without written, all of response is rewritten. With it, *written is how
// far earlier answers reached into response, which is zero past that point
// except where a request was written (never past REQ_READ_SIZE): the zeros
// then go only as far as the larger of the two, so nothing of an earlier
// answer or of the request survives, and *written becomes this answer's end.
bool srv_dispatch_request(const srv_block &request, srv_block &response, pid_t requester = 0,
                          std::size_t *written = nullptr) noexcept;
