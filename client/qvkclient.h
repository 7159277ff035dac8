/*
 * SPDX-License-Identifier: BSD-3-Clause
 * libqvkclient: the requester side of qvkserver's shared-memory protocol.
 *
 * A connection attaches the daemon's segment and semaphore sets (it never
 * creates them), takes turns with every other requester of the host, posts
 * one request at a time and waits for the daemon's answer with a timeout.
 * Every answer is checked before it is handed back: a length, count or
 * offset that does not fit is reported as QVK_ERR_MALFORMED_RESPONSE.
 *
 * Valid C (C99 and later) and C++. A connection may be shared by the threads
 * of one process: calls take turns like calls from different processes.
 */
#ifndef QVK_CLIENT_H
#define QVK_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "qvk_protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QVK_CLIENT_API __attribute__((visibility("default")))
#else
#define QVK_CLIENT_API
#endif

/* Version of this header. qvk_version() gives the version of the library
 * that is actually loaded, which may be a later one of the same major
 * version. */
#define QVK_CLIENT_VERSION_MAJOR 1
#define QVK_CLIENT_VERSION_MINOR 1
#define QVK_CLIENT_VERSION_PATCH 0

/* Result of every call. The numbers are stable; qvk_result_text() gives the
 * plain-words text of each. */
typedef enum qvk_result {
    QVK_OK = 0,
    QVK_ERR_NOT_RUNNING = 1,        /* segment or semaphore sets missing, or no daemon attached */
    QVK_ERR_ACCESS_DENIED = 2,      /* the IPC objects exist but may not be used */
    QVK_ERR_TIMEOUT = 3,            /* no turn or no answer within the timeout */
    QVK_ERR_MALFORMED_RESPONSE = 4, /* the answer failed a bounds or consistency check */
    QVK_ERR_INVALID_ARGUMENT = 5,   /* null pointer, path too long, APDU over 512 bytes, ... */
    QVK_ERR_NOT_OPENED = 6,         /* open answered "no handle" */
    QVK_ERR_HANDLE_NOT_OPEN = 7,    /* transmit on a handle the daemon has not opened */
    QVK_ERR_NO_ANSWER = 8,          /* status 0xFFFF: the token gave no answer, or the daemon
                                       refused an answer length its family reported */
    QVK_ERR_CLOSE_REFUSED = 9,      /* the device family did not close the handle */
    QVK_ERR_REQUEST_LOST = 10,      /* the segment was reset during the call (daemon restarted) */
    QVK_ERR_SYSTEM = 11,            /* an unexpected system call failure */
    QVK_ERR_OUT_OF_MEMORY = 12,
    QVK_ERR_BUFFER_TOO_SMALL = 13,  /* the answer had more data than the room given: the data
                                       was cut to that room (the status is the token's) */
    QVK_ERR_EXCLUSIVE_LOST = 14     /* the exclusive sequence lost the turn (idle too long, or
                                       taken away); nothing was sent. Since 1.1 */
} qvk_result;

/* Plain-words text of a result; never null (unknown values get a text too). */
QVK_CLIENT_API const char *qvk_result_text(qvk_result result);

/* "MAJOR.MINOR.PATCH" of the library loaded; never null. */
QVK_CLIENT_API const char *qvk_version(void);

/* Timeout of each call when none was set: key generation on a token may take long. */
#define QVK_DEFAULT_TIMEOUT_MS 60000u

typedef struct qvk_client qvk_client;

/* Attaches the running daemon's IPC objects. On success *client must later be
 * given to qvk_disconnect. Fails with QVK_ERR_NOT_RUNNING at once (no wait)
 * when qvkserver is not running. */
QVK_CLIENT_API qvk_result qvk_connect(qvk_client **client);
QVK_CLIENT_API void qvk_disconnect(qvk_client *client);

/* Timeout of every later call on this connection, each call on its own:
 * taking the turn and waiting for the answer together. 1 ms or more. */
QVK_CLIENT_API qvk_result qvk_set_timeout(qvk_client *client, uint32_t milliseconds);
QVK_CLIENT_API uint32_t qvk_timeout(const qvk_client *client);

/* The devices of all families, in the daemon's order. Each path is
 * NUL-terminated within its slot. */
typedef struct qvk_device_list {
    unsigned count;
    char paths[QVK_DEV_MAX_COUNT][QVK_DEV_PATH_SLOT_SIZE];
} qvk_device_list;

QVK_CLIENT_API qvk_result qvk_list(qvk_client *client, qvk_device_list *devices);

/* Waits until the daemon lists other tokens than `known` (a list from
 * qvk_list or from an earlier wait): QVK_OK with that list in *now, or
 * QVK_ERR_TIMEOUT with the unchanged list in *now after timeout_ms (0: look
 * once; QVK_WAIT_FOREVER: no limit). `now` may be `known`. Other failures
 * end the wait (a daemon restarting during it does not).
 * Cost: the daemon tells nobody of a change, so the list is asked for every
 * 500 ms: one enumeration (a round trip in which the daemon probes the
 * devices of every family) twice a second, taking the turn like any other
 * request. A token that comes and goes within one interval may go unseen.
 * The wait may end up to one look later than timeout_ms while the daemon is
 * busy with another requester. */
#define QVK_WAIT_FOREVER 0xFFFFFFFFu
QVK_CLIENT_API qvk_result qvk_wait_for_change(qvk_client *client, const qvk_device_list *known,
                                              qvk_device_list *now, uint32_t timeout_ms);

/* Opens a device by a path that the latest enumeration listed (at most 127
 * characters). QVK_ERR_NOT_OPENED when the daemon answers without a handle. */
QVK_CLIENT_API qvk_result qvk_open(qvk_client *client, const char *path, uint32_t *handle);

/* Closes a handle. QVK_ERR_HANDLE_NOT_OPEN when the daemon does not hold it
 * (closed already, or never opened). A daemon older than this library
 * cannot tell, and answers such a close as done. */
QVK_CLIENT_API qvk_result qvk_close(qvk_client *client, uint32_t handle);

/* Exchanges one APDU of 0 to 512 bytes. *response_length is in: the room at
 * response (the daemon is offered at most 8188 bytes of it), out: the bytes
 * of answer data placed there. *status receives SW1 * 256 + SW2 (or the
 * daemon's raw status) whenever an answer arrived, also with
 * QVK_ERR_HANDLE_NOT_OPEN, QVK_ERR_NO_ANSWER and QVK_ERR_BUFFER_TOO_SMALL.
 * A device family may answer with more data than the room offered (the
 * kernel-driver family does not know the room): then the room is filled,
 * the rest is lost, and the result is QVK_ERR_BUFFER_TOO_SMALL. Offer 8188
 * bytes (or at least 2036 for the kernel-driver family) to get every answer
 * whole. */
QVK_CLIENT_API qvk_result qvk_transmit(qvk_client *client, uint32_t handle,
                                       const uint8_t *command, size_t command_length,
                                       uint8_t *response, size_t *response_length,
                                       uint32_t *status);

/* Exclusive sequences (since 1.1). Between qvk_begin_exclusive and
 * qvk_end_exclusive, the calling thread keeps the turn across its calls on
 * this connection: no other requester's request reaches the daemon in
 * between, whatever token it is for (requests for other tokens wait too).
 * begin waits up to timeout_ms for the turn (0: no wait; QVK_ERR_TIMEOUT).
 * Other threads, of this process too, wait like other processes; a thread
 * has one sequence at a time (a second begin, or begin on another
 * connection meanwhile: QVK_ERR_INVALID_ARGUMENT), and only that thread
 * ends it. qvk_wait_for_change is refused inside a sequence.
 * Bound: a sequence with no call for QVK_EXCLUSIVE_IDLE_LIMIT_S (5) seconds
 * is lost, as it is when another process takes the idle turn away (after
 * QVK_EXCLUSIVE_RECLAIM_S, 8 s) or the daemon restarts: every later call of
 * the thread on the connection, end included, returns
 * QVK_ERR_EXCLUSIVE_LOST without sending anything; end ends the sequence.
 * A holder that dies gives the turn back (the kernel undoes its take).
 * end without a sequence of this thread: QVK_ERR_INVALID_ARGUMENT. */
QVK_CLIENT_API qvk_result qvk_begin_exclusive(qvk_client *client, uint32_t timeout_ms);
QVK_CLIENT_API qvk_result qvk_end_exclusive(qvk_client *client);

/* Which of the daemon's IPC objects exist, without attaching for requests.
 * The object fields are 1 (present and usable), 0 (missing) or
 * QVK_PRESENT_DENIED (present, but this process may not read and write it);
 * the two state fields are 1, 0 or QVK_UNKNOWN when they could not be read.
 * qvk_probe returns QVK_ERR_ACCESS_DENIED when any object is denied, and
 * never QVK_ERR_NOT_RUNNING for a state it could not read. */
#define QVK_PRESENT_DENIED (-1)
#define QVK_UNKNOWN (-1)
typedef struct qvk_ipc_presence {
    int segment;          /* key 2222, at least 16384 bytes */
    int server_set;       /* key 3350 */
    int client_set;       /* key 4450 */
    int daemon_attached;  /* any process has the segment attached: the daemon, a requester,
                             or this process's own connections; no proof of a daemon */
    int client_turn_held; /* value of the client set: 1 while a requester holds the turn */
} qvk_ipc_presence;

QVK_CLIENT_API qvk_result qvk_probe(qvk_ipc_presence *presence);

/* The errno behind the result of the calling thread's latest call on
 * `client` (null: its latest qvk_connect or qvk_probe), when a failed system
 * call gave that result: QVK_ERR_SYSTEM, and also QVK_ERR_ACCESS_DENIED
 * (EACCES, EPERM), QVK_ERR_NOT_RUNNING (ENOENT, EIDRM, EINVAL) and
 * QVK_ERR_OUT_OF_MEMORY (ENOMEM). 0 when that call succeeded or failed for
 * another reason, and when the thread's latest call was on another
 * connection. Kept per thread, as errno is: a call of another thread on the
 * same connection does not change it. */
QVK_CLIENT_API int qvk_last_system_error(const qvk_client *client);

#ifdef __cplusplus
}
#endif

#endif /* QVK_CLIENT_H */
