// SPDX-License-Identifier: BSD-3-Clause
// Finding and attaching the daemon's System V objects. Nothing here ever
// creates an object: a daemon that is not running shows as a missing key.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>

#include "qvk_segment.h"
#include "qvkclient.h"

namespace qvk::client {

// The result that an IPC call's errno stands for; the errno is kept for
// qvk_last_system_error.
qvk_result ipc_error(int error);

// Identifier of the segment (key 2222, at least 16384 bytes) or a semaphore
// set of the given key; the result says why there is none.
qvk_result find_segment(int &id);
qvk_result find_semaphore_set(key_t key, int &id);

// Number of attachments of the segment, or -1 when it cannot be read.
long segment_attachments(int segment_id);
// The same, with the reason when it cannot be read.
qvk_result read_attachments(int segment_id, long &attachments);

// The segment attached for reading and writing; detached on destruction.
class SegmentMapping {
public:
    SegmentMapping() = default;
    ~SegmentMapping();
    SegmentMapping(const SegmentMapping &) = delete;
    SegmentMapping &operator=(const SegmentMapping &) = delete;

    qvk_result attach(int segment_id);

    std::uint32_t *state_word() const;
    std::span<std::uint8_t, SHM_BLOCK_SIZE> block() const;

private:
    std::uint8_t *base_ = nullptr;
};

// Everything one connection uses: the segment, its mapping, both sets.
class Attachment {
public:
    qvk_result attach();

    int segment_id() const { return segment_id_; }
    int server_set() const { return server_set_; }
    int client_set() const { return client_set_; }
    const SegmentMapping &mapping() const { return mapping_; }

    // Whether some other attachment than this one exists: the daemon keeps
    // the segment attached for as long as it runs, so with none it is gone.
    bool daemon_may_be_attached() const;

private:
    int segment_id_ = -1;
    int server_set_ = -1;
    int client_set_ = -1;
    SegmentMapping mapping_;
};

}  // namespace qvk::client
