// SPDX-License-Identifier: BSD-3-Clause
// A stand-in for the daemon's end of the segment protocol, for the tests of
// the requester's IPC path that need a server misbehaving on purpose (slow,
// never waking, answering malformed blocks, starting afresh mid-request).
// In a forked process it creates and resets the IPC objects as the daemon
// does, keeps the segment attached, and answers each posted request through
// a handler. Only for use inside private IPC namespaces.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "scripted_card.h"

namespace qvk::test {

class ScriptedServer {
public:
    // Gets the request block (8200 bytes) and returns the start of the
    // response block (header and payload); the rest of the block is zero.
    // Nothing returned: no answer at all, and the state word stays 1, as
    // qvkserver does for a command it does not know.
    using Handler = std::function<Bytes(const Bytes &request)>;

    struct Options {
        bool wake = true;  // FUTEX_WAKE the state word after answering
    };

    explicit ScriptedServer(Handler handler);
    ScriptedServer(Handler handler, Options options);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    pid_t pid() const { return pid_; }
    void stop();    // SIGSTOP
    void resume();  // SIGCONT
    void kill();    // SIGKILL, and reaped

private:
    pid_t pid_ = -1;
};

// A response block's start: command, three zero bytes, L, payload.
Bytes answer_block(std::uint8_t command, const Bytes &payload);

// A well-behaved server with one token: lists "/dev/QVUsbKey0" and
// "/dev/QVUsbKey1", opens the first as handle 7, closes anything, and answers
// an APDU on handle 7 with the APDU's bytes reversed and status 90 00 (so
// every answer tells which command it belongs to). Any other command is not
// answered.
Bytes token_answers(const Bytes &request);

}  // namespace qvk::test
