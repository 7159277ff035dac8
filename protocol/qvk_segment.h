/*
 * SPDX-License-Identifier: BSD-3-Clause
 * The qvkserver request protocol under the names the daemon, the requester
 * library and the tests use. The numbers are written down once, in
 * qvk_protocol.h (the installed header, whose names all carry a QVK_
 * prefix); this header gives them their short in-tree names. It is valid C
 * and C++.
 */
#ifndef QVK_SEGMENT_H
#define QVK_SEGMENT_H

#include "qvk_protocol.h"

/* IPC keys (the creation flags are QVK_IPC_FLAGS). */
enum {
    SHM_KEY = QVK_SHM_KEY,
    SEM_SERVER_KEY = QVK_SEM_SERVER_KEY,
    SEM_CLIENT_KEY = QVK_SEM_CLIENT_KEY
};

/* The client set's exclusive turn and its bounds. */
enum {
    TURN_EXCLUSIVE = QVK_TURN_EXCLUSIVE,
    EXCLUSIVE_IDLE_LIMIT_S = QVK_EXCLUSIVE_IDLE_LIMIT_S,
    EXCLUSIVE_RECLAIM_S = QVK_EXCLUSIVE_RECLAIM_S
};

/* Segment layout. */
enum {
    SHM_SIZE = QVK_SHM_SIZE,
    SHM_STATE_OFFSET = QVK_SHM_STATE_OFFSET,
    SHM_BLOCK_OFFSET = QVK_SHM_BLOCK_OFFSET,
    SHM_BLOCK_SIZE = QVK_SHM_BLOCK_SIZE
};

/* Values of the state word. */
enum {
    SHM_STATE_IDLE = QVK_SHM_STATE_IDLE,
    SHM_STATE_REQUEST = QVK_SHM_STATE_REQUEST,
    SHM_STATE_RESPONSE = QVK_SHM_STATE_RESPONSE
};

/* Command byte (block offset 0) of a request, echoed in its response. */
enum {
    CMD_ENUM_DEV_PATH = QVK_CMD_ENUM_DEV_PATH,
    CMD_OPEN_DEV = QVK_CMD_OPEN_DEV,
    CMD_CLOSE_DEV = QVK_CMD_CLOSE_DEV,
    CMD_ICC_TSI_API = QVK_CMD_ICC_TSI_API
};

/* Request block: offsets within the block. */
enum {
    REQ_COMMAND_OFFSET = QVK_REQ_COMMAND_OFFSET,
    REQ_REQUESTER_OFFSET = QVK_REQ_REQUESTER_OFFSET,
    REQ_REQUESTER_SIZE = QVK_REQ_REQUESTER_SIZE,
    REQ_OPTIONS_OFFSET = QVK_REQ_OPTIONS_OFFSET,
    REQ_ARGS_OFFSET = QVK_REQ_ARGS_OFFSET,
    REQ_TSI_HANDLE_OFFSET = QVK_REQ_TSI_HANDLE_OFFSET,
    REQ_TSI_LENGTH_OFFSET = QVK_REQ_TSI_LENGTH_OFFSET,
    REQ_TSI_APDU_OFFSET = QVK_REQ_TSI_APDU_OFFSET,
    REQ_TSI_CAPACITY_AFTER_APDU = QVK_REQ_TSI_CAPACITY_AFTER_APDU,
    REQ_TSI_RESERVED_AFTER_APDU = QVK_REQ_TSI_RESERVED_AFTER_APDU,
    CMD_BUF_SIZE = QVK_CMD_BUF_SIZE
};

/* Response block: offsets within the block. */
enum {
    RESP_COMMAND_OFFSET = QVK_RESP_COMMAND_OFFSET,
    RESP_LENGTH_OFFSET = QVK_RESP_LENGTH_OFFSET,
    RESP_PAYLOAD_OFFSET = QVK_RESP_PAYLOAD_OFFSET,
    RESP_PAYLOAD_SIZE = QVK_RESP_PAYLOAD_SIZE,
    RESP_MAX_DATA = QVK_RESP_MAX_DATA
};

/* Device paths as they are listed by enumeration. */
enum {
    DEV_PATH_SLOT_SIZE = QVK_DEV_PATH_SLOT_SIZE,
    DEV_MAX_COUNT = QVK_DEV_MAX_COUNT,
    DEV_PATH_LIST_SIZE = QVK_DEV_PATH_LIST_SIZE,
    ENUM_RESULT_OFFSET = QVK_ENUM_RESULT_OFFSET,
    ENUM_COUNT_OFFSET = QVK_ENUM_COUNT_OFFSET,
    ENUM_SLOTS_OFFSET = QVK_ENUM_SLOTS_OFFSET
};

/* Fixed sizes of the request arguments and response payloads. */
enum {
    REQ_TSI_TRAILER_SIZE = QVK_REQ_TSI_TRAILER_SIZE,
    REQ_READ_SIZE = QVK_REQ_READ_SIZE,
    RESP_HEADER_SIZE = QVK_RESP_HEADER_SIZE,
    RESP_OPEN_LENGTH = QVK_RESP_OPEN_LENGTH,
    RESP_CLOSE_LENGTH = QVK_RESP_CLOSE_LENGTH,
    RESP_STATUS_SIZE = QVK_RESP_STATUS_SIZE
};

#endif /* QVK_SEGMENT_H */
