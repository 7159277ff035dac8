/*
 * The qvkserver request protocol: one System V shared-memory segment, two
 * System V semaphore sets, and the layout of the request and response block.
 *
 * Everything here is fixed-width and host byte order, so a 64-bit requester
 * and a 32-bit daemon agree on every offset. This header is the only place
 * where these numbers are written down; the daemon, the requester library and
 * the tests all include it. It is valid C and C++.
 */
#ifndef QVK_SEGMENT_H
#define QVK_SEGMENT_H

/* IPC keys and creation flags (IPC_CREAT | 0777, no IPC_EXCL). */
enum {
    SHM_KEY = 2222,          /* shared segment */
    SEM_SERVER_KEY = 3350,   /* raised by a requester after posting */
    SEM_CLIENT_KEY = 4450,   /* requesters take turns on it; 0 = free */
    QVK_IPC_FLAGS = 01777    /* 0x3FF */
};

/* Segment layout. */
enum {
    SHM_SIZE = 16384,
    SHM_STATE_OFFSET = 0,    /* 32-bit state word */
    SHM_BLOCK_OFFSET = 4,    /* request / response block */
    SHM_BLOCK_SIZE = 8200
};

/* Values of the state word. */
enum {
    SHM_STATE_IDLE = 0,
    SHM_STATE_REQUEST = 1,
    SHM_STATE_RESPONSE = 0x12345678
};

/* Command byte (block offset 0) of a request, echoed in its response. */
enum {
    CMD_ENUM_DEV_PATH = 10,
    CMD_OPEN_DEV = 11,
    CMD_CLOSE_DEV = 12,
    CMD_ICC_TSI_API = 13
};

/* Request block: offsets within the block. */
enum {
    REQ_COMMAND_OFFSET = 0,
    REQ_ARGS_OFFSET = 8,          /* open: path text; close: handle */
    REQ_TSI_HANDLE_OFFSET = 8,
    REQ_TSI_LENGTH_OFFSET = 12,
    REQ_TSI_APDU_OFFSET = 16,     /* n bytes, then capacity and reserved */
    REQ_TSI_CAPACITY_AFTER_APDU = 0,  /* 32-bit capacity at 16 + n */
    REQ_TSI_RESERVED_AFTER_APDU = 4,  /* 32-bit reserved word at 20 + n */
    CMD_BUF_SIZE = 512            /* largest command APDU a request carries */
};

/* Response block: offsets within the block. */
enum {
    RESP_COMMAND_OFFSET = 0,
    RESP_LENGTH_OFFSET = 4,       /* payload length L */
    RESP_PAYLOAD_OFFSET = 8,
    RESP_PAYLOAD_SIZE = 8192,
    RESP_MAX_DATA = 8188          /* payload room left for transmit data */
};

/* Device paths as they are listed by enumeration. */
enum {
    DEV_PATH_SLOT_SIZE = 128,     /* a path is at most 127 characters */
    DEV_MAX_COUNT = 32,
    DEV_PATH_LIST_SIZE = DEV_PATH_SLOT_SIZE * DEV_MAX_COUNT,  /* 4096 */
    ENUM_RESULT_OFFSET = 0,       /* payload: 32-bit result */
    ENUM_COUNT_OFFSET = 4,        /* payload: 8-bit count */
    ENUM_SLOTS_OFFSET = 5         /* payload: count slots of 128 bytes */
};

/* Fixed sizes of the request arguments and response payloads. */
enum {
    REQ_TSI_TRAILER_SIZE = 8,     /* capacity and reserved words after the APDU */
    /* No request is read past this many bytes of its block: a transmit with
     * the largest APDU ends with its trailer here; an open path ends at 136. */
    REQ_READ_SIZE = REQ_TSI_APDU_OFFSET + CMD_BUF_SIZE + REQ_TSI_TRAILER_SIZE,  /* 536 */
    RESP_HEADER_SIZE = 8,         /* echoed command, three zero bytes, L */
    RESP_OPEN_LENGTH = 4,         /* payload of an open: the handle */
    RESP_CLOSE_LENGTH = 1,        /* payload of a close: low byte of its result */
    RESP_STATUS_SIZE = 4          /* 32-bit status after the transmit data */
};

/* Status the daemon reports for a handle it has not opened. */
#define QVK_STATUS_NOT_OPEN 0xFFFFFFFFu
/* Status with no response data for a transmit the daemon refuses (a command
 * over CMD_BUF_SIZE, or a family reporting a response length outside
 * 0 .. RESP_MAX_DATA); also the kernel-driver family's status when the token
 * gave no answer. */
#define QVK_STATUS_NO_ANSWER 0xFFFFu
/* Handle of an open that failed: 0 to the daemon, -1 from the kernel-driver family. */
#define QVK_HANDLE_NONE 0u
#define QVK_HANDLE_FAILED 0xFFFFFFFFu

#endif /* QVK_SEGMENT_H */
