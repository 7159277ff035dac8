/*
 * SPDX-License-Identifier: BSD-3-Clause
 * The qvkserver request protocol: one System V shared-memory segment, two
 * System V semaphore sets, and the layout of the request and response block.
 *
 * This is the installed description of the protocol, for whoever writes a
 * requester without libqvkclient: every name is prefixed with QVK_, so it
 * can be included beside anything. The daemon, the requester library and the
 * tests read the same numbers (qvk_segment.h gives them their in-tree names).
 *
 * Everything is fixed-width and host byte order, so a 64-bit requester and a
 * 32-bit daemon agree on every offset. Valid C (C99 and later) and C++.
 *
 * One request, as the daemon expects it:
 *   1. take the turn among requesters (client set, key QVK_SEM_CLIENT_KEY:
 *      wait for 0, then +1 with SEM_UNDO, in one semop);
 *   2. write the request block at segment offset QVK_SHM_BLOCK_OFFSET, with
 *      the requester's own process id (getpid(); every process id is below
 *      2^22) in the three bytes of the requester field at block offset
 *      QVK_REQ_REQUESTER_OFFSET, least significant byte first;
 *   3. set the 32-bit state word at QVK_SHM_STATE_OFFSET to
 *      QVK_SHM_STATE_REQUEST, then raise the server set (key
 *      QVK_SEM_SERVER_KEY) by one;
 *   4. wait until the state word reads QVK_SHM_STATE_RESPONSE (the daemon
 *      also wakes waiters with a shared FUTEX_WAKE on the word), copy the
 *      response block out, set the word back to QVK_SHM_STATE_IDLE and give
 *      the turn back (-1 with SEM_UNDO) -- unless this process no longer
 *      holds the undo entry of its take (see below).
 *
 * Who asks. The daemon records the requester field of an open as the
 * handle's opener only when the client set's last operator (GETPID) is that
 * same process, that is, the requester took the turn and says who it is. A
 * close or transmit whose requester field names another process than the
 * handle's opener is answered as if the handle were not open, and the
 * handle is closed once its opener has died. An open whose requester field
 * is 0, or does not agree with the set's last operator (older requesters
 * leave the block's bytes 1 to 3 as they please), has no known opener: the
 * handle is open to every requester and is closed only when no process but
 * the daemon has the segment attached, or when too many such handles are
 * open (the least recently used go first). A process that merely operates
 * on the client set (say -1 and +1 at once) cannot pass for the opener:
 * the two would not agree.
 *
 * Giving the turn back. A daemon that starts while a requester that looks
 * dead holds the turn sets the client set to 0, which also clears every
 * process's undo entry for it; another requester may take the turn then.
 * A requester asks the kernel whether its own undo entry is still there
 * before it gives the turn back, for instance with one IPC_NOWAIT semop on
 * semaphore 0 of {+16384 SEM_UNDO, -16384, +16384 SEM_UNDO, -16384, +16384,
 * -16384 SEM_UNDO, +16384, -16384 SEM_UNDO}: it leaves the value and the
 * undo entry as they were, and it fails with ERANGE exactly when the entry
 * still holds the take's -1 (the kernel bounds an undo entry at -32768).
 * Then the turn is its own to give back; if the semop succeeds, the entry
 * was cleared and there is nothing to give back. The set's last operator
 * says nothing here: any process may operate on the set.
 *
 * Exclusive sequences. A requester that needs several requests in a row
 * with nobody else's in between takes the turn with the weight
 * QVK_TURN_EXCLUSIVE instead of 1 ({wait for 0, +2 with SEM_UNDO}), keeps
 * it across its requests and gives it back with -2 (SEM_UNDO) under the
 * same undo-entry check; everybody else waits for 0 meanwhile, whatever
 * token they ask for. A holder that dies has it given back by the kernel.
 * While it holds the turn, the holder operates on the set ({+1, -1} in one
 * semop, no SEM_UNDO) before and after each of its requests and about ten
 * times a second while it waits for an answer: the set's sem_otime then
 * tells the others when it was last busy. It stops using the turn (and
 * gives it back) once it has made no request for
 * QVK_EXCLUSIVE_IDLE_LIMIT_S seconds, and before each request it checks
 * its undo entry, as above, to learn whether the turn was taken from it.
 * A waiter may take the turn from a holder of another process once the set
 * reads at least QVK_TURN_EXCLUSIVE and its sem_otime is
 * QVK_EXCLUSIVE_RECLAIM_S seconds old or older: one semop of {-2
 * IPC_NOWAIT, +1 SEM_UNDO} (it fails unless an exclusive holder still holds
 * the turn), then SETVAL 1, which clears the old holder's undo entry while
 * the turn stays held, then {+weight SEM_UNDO, -1} to hold it with an undo
 * entry of its own. A daemon that starts afresh resets a set that reads
 * anything but 0 or the 1 of a living holder, so it ends an exclusive
 * sequence (whose handles die with the restart anyway).
 */
#ifndef QVK_PROTOCOL_H
#define QVK_PROTOCOL_H

/* IPC keys and creation flags (IPC_CREAT | 0777, no IPC_EXCL). */
enum {
    QVK_SHM_KEY = 2222,          /* shared segment */
    QVK_SEM_SERVER_KEY = 3350,   /* raised by a requester after posting */
    QVK_SEM_CLIENT_KEY = 4450,   /* requesters take turns on it; 0 = free */
    QVK_IPC_FLAGS = 01777        /* 0x3FF */
};

/* Values of the client set and the bounds of an exclusive sequence. */
enum {
    QVK_TURN_EXCLUSIVE = 2,           /* the set's value while an exclusive sequence holds the turn */
    QVK_EXCLUSIVE_IDLE_LIMIT_S = 5,   /* its holder gives it up after this long without a request */
    QVK_EXCLUSIVE_RECLAIM_S = 8       /* others may take it once the set's sem_otime is this old */
};

/* Segment layout. */
enum {
    QVK_SHM_SIZE = 16384,
    QVK_SHM_STATE_OFFSET = 0,    /* 32-bit state word */
    QVK_SHM_BLOCK_OFFSET = 4,    /* request / response block */
    QVK_SHM_BLOCK_SIZE = 8200
};

/* Values of the state word. */
enum {
    QVK_SHM_STATE_IDLE = 0,
    QVK_SHM_STATE_REQUEST = 1,
    QVK_SHM_STATE_RESPONSE = 0x12345678
};

/* Command byte (block offset 0) of a request, echoed in its response. */
enum {
    QVK_CMD_ENUM_DEV_PATH = 10,
    QVK_CMD_OPEN_DEV = 11,
    QVK_CMD_CLOSE_DEV = 12,
    QVK_CMD_ICC_TSI_API = 13
};

/* Request block: offsets within the block. */
enum {
    QVK_REQ_COMMAND_OFFSET = 0,
    QVK_REQ_REQUESTER_OFFSET = 1,     /* 24-bit process id of the requester (little-endian), or 0 */
    QVK_REQ_REQUESTER_SIZE = 3,
    QVK_REQ_OPTIONS_OFFSET = 4,       /* 32-bit word; zero unless an option below is asked for */
    QVK_REQ_ARGS_OFFSET = 8,          /* open: path text; close: handle */
    QVK_REQ_TSI_HANDLE_OFFSET = 8,
    QVK_REQ_TSI_LENGTH_OFFSET = 12,
    QVK_REQ_TSI_APDU_OFFSET = 16,     /* n bytes, then capacity and reserved */
    QVK_REQ_TSI_CAPACITY_AFTER_APDU = 0,  /* 32-bit capacity at 16 + n */
    QVK_REQ_TSI_RESERVED_AFTER_APDU = 4,  /* 32-bit reserved word at 20 + n */
    QVK_CMD_BUF_SIZE = 512            /* largest command APDU a request carries */
};

/* Response block: offsets within the block. */
enum {
    QVK_RESP_COMMAND_OFFSET = 0,
    QVK_RESP_LENGTH_OFFSET = 4,       /* payload length L */
    QVK_RESP_PAYLOAD_OFFSET = 8,
    QVK_RESP_PAYLOAD_SIZE = 8192,
    QVK_RESP_MAX_DATA = 8188          /* payload room left for transmit data */
};

/* Device paths as they are listed by enumeration. */
enum {
    QVK_DEV_PATH_SLOT_SIZE = 128,     /* a path is at most 127 characters */
    QVK_DEV_MAX_COUNT = 32,
    QVK_DEV_PATH_LIST_SIZE = QVK_DEV_PATH_SLOT_SIZE * QVK_DEV_MAX_COUNT,  /* 4096 */
    QVK_ENUM_RESULT_OFFSET = 0,       /* payload: 32-bit result */
    QVK_ENUM_COUNT_OFFSET = 4,        /* payload: 8-bit count */
    QVK_ENUM_SLOTS_OFFSET = 5         /* payload: count slots of 128 bytes */
};

/* Fixed sizes of the request arguments and response payloads. */
enum {
    QVK_REQ_TSI_TRAILER_SIZE = 8,     /* capacity and reserved words after the APDU */
    /* No request is read past this many bytes of its block: a transmit with
     * the largest APDU ends with its trailer here; an open path ends at 136. */
    QVK_REQ_READ_SIZE = QVK_REQ_TSI_APDU_OFFSET + QVK_CMD_BUF_SIZE + QVK_REQ_TSI_TRAILER_SIZE,  /* 536 */
    QVK_RESP_HEADER_SIZE = 8,         /* echoed command, three zero bytes, L */
    QVK_RESP_OPEN_LENGTH = 4,         /* payload of an open: the handle */
    QVK_RESP_CLOSE_LENGTH = 1,        /* payload of a close: low byte of its result */
    QVK_RESP_STATUS_SIZE = 4          /* 32-bit status after the transmit data */
};

/* Status the daemon reports for a handle it has not opened. */
#define QVK_STATUS_NOT_OPEN 0xFFFFFFFFu
/* Status with no response data for a transmit the daemon refuses (a command
 * over QVK_CMD_BUF_SIZE, or a family reporting a response length outside
 * 0 .. QVK_RESP_MAX_DATA); also the kernel-driver family's status when the
 * token gave no answer. */
#define QVK_STATUS_NO_ANSWER 0xFFFFu
/* Request option (the word at QVK_REQ_OPTIONS_OFFSET of a close): a close of
 * a handle that the daemon does not hold is answered with an empty payload
 * (L = 0) instead of the byte 1, so that the requester can tell it from a
 * close that took place. The daemon reads the word for a close only, and
 * only this exact value changes its answer: a requester that writes the
 * protocol's zero bytes there gets the answers above. */
#define QVK_REQ_CLOSE_TELLS_UNKNOWN 0x514B0001u
/* Handle of an open that failed: 0 to the daemon, -1 from the kernel-driver family. */
#define QVK_HANDLE_NONE 0u
#define QVK_HANDLE_FAILED 0xFFFFFFFFu

#endif /* QVK_PROTOCOL_H */
