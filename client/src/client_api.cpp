// SPDX-License-Identifier: BSD-3-Clause
// The C interface: argument checks, then encode, round trip, decode.
#include <sys/sem.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "change_wait.h"
#include "codec.h"
#include "connection.h"
#include "ipc.h"
#include "qvkclient.h"
#include "system_error.h"

struct qvk_client {
    qvk::client::Connection connection;
};

using qvk::client::recorded_call;
using qvk::client::Request;
using qvk::client::ResponseCopy;

namespace {

template <class Decode>
qvk_result exchange(qvk_client *client, const Request &request, Decode &&decode) {
    ResponseCopy response;
    const qvk_result result = client->connection.round_trip(request, response);
    return result == QVK_OK ? decode(response) : result;
}

qvk_result probe(qvk_ipc_presence *presence) {
    if (presence == nullptr) return QVK_ERR_INVALID_ARGUMENT;
    *presence = {};
    int segment = -1;
    int server_set = -1;
    int client_set = -1;
    const qvk_result segment_found = qvk::client::find_segment(segment);
    const qvk_result server_found = qvk::client::find_semaphore_set(SEM_SERVER_KEY, server_set);
    const qvk_result client_found = qvk::client::find_semaphore_set(SEM_CLIENT_KEY, client_set);
    const auto presence_of = [](qvk_result found) {
        return found == QVK_OK ? 1 : found == QVK_ERR_ACCESS_DENIED ? QVK_PRESENT_DENIED : 0;
    };
    presence->segment = presence_of(segment_found);
    presence->server_set = presence_of(server_found);
    presence->client_set = presence_of(client_found);
    // A missing object has no state; one that is there but cannot be read
    // has an unknown one.
    qvk_result attachments_read = QVK_OK;
    presence->daemon_attached = presence->segment == QVK_PRESENT_DENIED ? QVK_UNKNOWN : 0;
    if (segment_found == QVK_OK) {
        long attachments = -1;
        attachments_read = qvk::client::read_attachments(segment, attachments);
        presence->daemon_attached = attachments_read == QVK_OK ? attachments > 0 : QVK_UNKNOWN;
    }
    presence->client_turn_held = presence->client_set == QVK_PRESENT_DENIED ? QVK_UNKNOWN : 0;
    if (client_found == QVK_OK) {
        const int value = semctl(client_set, 0, GETVAL);
        presence->client_turn_held = value >= 0 ? value > 0 : QVK_UNKNOWN;
    }
    // The first cause that keeps requests from being served; never "not
    // running" for what could not be read.
    for (const qvk_result found : {segment_found, server_found, client_found, attachments_read})
        if (found != QVK_OK) return found;
    return presence->daemon_attached == 1 ? QVK_OK : QVK_ERR_NOT_RUNNING;
}

}  // namespace

extern "C" {

QVK_CLIENT_API qvk_result qvk_connect(qvk_client **client) {
    return recorded_call(nullptr, [&] {
        if (client == nullptr) return QVK_ERR_INVALID_ARGUMENT;
        *client = nullptr;
        auto *created = new (std::nothrow) qvk_client;
        if (created == nullptr) return QVK_ERR_OUT_OF_MEMORY;
        const qvk_result result = created->connection.connect();
        if (result != QVK_OK) {
            delete created;
            return result;
        }
        *client = created;
        return QVK_OK;
    });
}

QVK_CLIENT_API void qvk_disconnect(qvk_client *client) {
    qvk::client::forget_system_error(client);
    delete client;
}

QVK_CLIENT_API qvk_result qvk_set_timeout(qvk_client *client, uint32_t milliseconds) {
    if (client == nullptr || milliseconds == 0) return QVK_ERR_INVALID_ARGUMENT;
    client->connection.set_timeout(std::chrono::milliseconds(milliseconds));
    return QVK_OK;
}

QVK_CLIENT_API uint32_t qvk_timeout(const qvk_client *client) {
    return client == nullptr ? 0 : static_cast<uint32_t>(client->connection.timeout().count());
}

QVK_CLIENT_API qvk_result qvk_list(qvk_client *client, qvk_device_list *devices) {
    return recorded_call(client, [&] {
        if (client == nullptr || devices == nullptr) return QVK_ERR_INVALID_ARGUMENT;
        devices->count = 0;
        Request request;
        qvk::client::encode_enumerate(request);
        return exchange(client, request, [&](const ResponseCopy &response) {
            return qvk::client::decode_enumerate(response, *devices);
        });
    });
}

QVK_CLIENT_API qvk_result qvk_wait_for_change(qvk_client *client, const qvk_device_list *known,
                                              qvk_device_list *now, uint32_t timeout_ms) {
    return recorded_call(client, [&] {
        if (client == nullptr || known == nullptr || now == nullptr || known->count > QVK_DEV_MAX_COUNT)
            return QVK_ERR_INVALID_ARGUMENT;
        // Waiting for a token while keeping everybody else out would hold
        // the turn for as long as the wait, beyond the sequence's bound.
        if (client->connection.in_exclusive_sequence()) return QVK_ERR_INVALID_ARGUMENT;
        return qvk::client::wait_for_change(client->connection, *known, *now, timeout_ms);
    });
}

QVK_CLIENT_API qvk_result qvk_open(qvk_client *client, const char *path, uint32_t *handle) {
    return recorded_call(client, [&] {
        if (client == nullptr || handle == nullptr) return QVK_ERR_INVALID_ARGUMENT;
        *handle = QVK_HANDLE_NONE;
        Request request;
        if (const qvk_result encoded = qvk::client::encode_open(request, path); encoded != QVK_OK)
            return encoded;
        return exchange(client, request, [&](const ResponseCopy &response) {
            return qvk::client::decode_open(response, *handle);
        });
    });
}

QVK_CLIENT_API qvk_result qvk_close(qvk_client *client, uint32_t handle) {
    return recorded_call(client, [&] {
        if (client == nullptr) return QVK_ERR_INVALID_ARGUMENT;
        Request request;
        qvk::client::encode_close(request, handle);
        return exchange(client, request, qvk::client::decode_close);
    });
}

QVK_CLIENT_API qvk_result qvk_transmit(qvk_client *client, uint32_t handle, const uint8_t *command,
                                       size_t command_length, uint8_t *response,
                                       size_t *response_length, uint32_t *status) {
    return recorded_call(client, [&] {
        if (client == nullptr || response_length == nullptr || status == nullptr ||
            (command == nullptr && command_length != 0) || (response == nullptr && *response_length != 0))
            return QVK_ERR_INVALID_ARGUMENT;
        const auto capacity = static_cast<uint32_t>(std::min<size_t>(*response_length, RESP_MAX_DATA));
        *response_length = 0;
        Request request;
        const qvk_result encoded =
            qvk::client::encode_transmit(request, handle, {command, command_length}, capacity);
        if (encoded != QVK_OK) return encoded;
        return exchange(client, request, [&](const ResponseCopy &answer) {
            return qvk::client::decode_transmit(answer, capacity, {response, capacity}, *response_length,
                                                *status);
        });
    });
}

QVK_CLIENT_API qvk_result qvk_begin_exclusive(qvk_client *client, uint32_t timeout_ms) {
    return recorded_call(client, [&] {
        if (client == nullptr) return QVK_ERR_INVALID_ARGUMENT;
        return client->connection.begin_exclusive(std::chrono::milliseconds(timeout_ms));
    });
}

QVK_CLIENT_API qvk_result qvk_end_exclusive(qvk_client *client) {
    return recorded_call(client, [&] {
        if (client == nullptr) return QVK_ERR_INVALID_ARGUMENT;
        return client->connection.end_exclusive();
    });
}

QVK_CLIENT_API int qvk_last_system_error(const qvk_client *client) {
    return qvk::client::last_system_error(client);
}

QVK_CLIENT_API qvk_result qvk_probe(qvk_ipc_presence *presence) {
    return recorded_call(nullptr, [&] { return probe(presence); });
}

}  // extern "C"
