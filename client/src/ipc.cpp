// SPDX-License-Identifier: BSD-3-Clause
#include "ipc.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>

#include "system_error.h"

namespace qvk::client {

namespace {

qvk_result result_of(int error) {
    switch (error) {
    case ENOENT:  // no object with that key
    case EIDRM:   // removed while in use
    case EINVAL:  // removed, or a segment smaller than the protocol's
        return QVK_ERR_NOT_RUNNING;
    case EACCES:
    case EPERM:
        return QVK_ERR_ACCESS_DENIED;
    case ENOMEM:
        return QVK_ERR_OUT_OF_MEMORY;
    default:
        return QVK_ERR_SYSTEM;
    }
}

}  // namespace

qvk_result ipc_error(int error) {
    const qvk_result result = result_of(error);
    note_system_error(error, result);
    return result;
}

namespace {
// As get flags without IPC_CREAT, permission bits are the access asked for:
// reading and writing, which every requester needs. An object that exists
// but may not be used so is EACCES, not a success that fails later.
constexpr int kReadWrite = 0600;
}  // namespace

qvk_result find_segment(int &id) {
    // Size given, no IPC_CREAT: only an existing segment at least this large.
    id = shmget(SHM_KEY, SHM_SIZE, kReadWrite);
    return id >= 0 ? QVK_OK : ipc_error(errno);
}

qvk_result find_semaphore_set(key_t key, int &id) {
    id = semget(key, 1, kReadWrite);
    return id >= 0 ? QVK_OK : ipc_error(errno);
}

qvk_result read_attachments(int segment_id, long &attachments) {
    shmid_ds status{};
    attachments = -1;
    if (shmctl(segment_id, IPC_STAT, &status) != 0) return ipc_error(errno);
    attachments = static_cast<long>(status.shm_nattch);
    return QVK_OK;
}

long segment_attachments(int segment_id) {
    long attachments = -1;
    read_attachments(segment_id, attachments);
    return attachments;
}

SegmentMapping::~SegmentMapping() {
    if (base_ != nullptr) shmdt(base_);
}

qvk_result SegmentMapping::attach(int segment_id) {
    void *address = shmat(segment_id, nullptr, 0);
    if (address == reinterpret_cast<void *>(-1)) return ipc_error(errno);
    base_ = static_cast<std::uint8_t *>(address);
    return QVK_OK;
}

std::uint32_t *SegmentMapping::state_word() const {
    return reinterpret_cast<std::uint32_t *>(base_ + SHM_STATE_OFFSET);
}

std::span<std::uint8_t, SHM_BLOCK_SIZE> SegmentMapping::block() const {
    return std::span<std::uint8_t, SHM_BLOCK_SIZE>(base_ + SHM_BLOCK_OFFSET, SHM_BLOCK_SIZE);
}

qvk_result Attachment::attach() {
    qvk_result result = find_segment(segment_id_);
    if (result == QVK_OK) result = find_semaphore_set(SEM_SERVER_KEY, server_set_);
    if (result == QVK_OK) result = find_semaphore_set(SEM_CLIENT_KEY, client_set_);
    if (result == QVK_OK) result = mapping_.attach(segment_id_);
    if (result == QVK_OK && !daemon_may_be_attached()) result = QVK_ERR_NOT_RUNNING;
    return result;
}

bool Attachment::daemon_may_be_attached() const {
    const long attachments = segment_attachments(segment_id_);
    return attachments < 0 || attachments > 1;
}

}  // namespace qvk::client
