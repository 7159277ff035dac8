// SPDX-License-Identifier: BSD-3-Clause
// One APDU exchange with a time bound. Nothing interrupts an SCardTransmit
// that waits for a card (or a reader driver, or pcscd) that never answers,
// so the exchange runs on a thread of the plug-in's own, and the caller
// waits for it no longer than the bound. When the bound passes, the caller
// gives up: the thread keeps the card and its context (nobody else may
// touch a context that a call of its own still holds: pcsc-lite would make
// every later call of the process wait for it), disconnects the card and
// releases the context once the call returns, and ends. A new thread
// serves the next exchange.
#pragma once

#include <pthread.h>
#include <winscard.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "ccid_config.h"

namespace qvk::ccid {

class Exchanger {
public:
    // The result of an exchange whose bound passed.
    static constexpr LONG kAbandoned = -1;

    // Sends `command` to `card`; the answer goes to received() and
    // received_length(). timeout_ms 0: no bound. On kAbandoned the card and
    // its context belong to the exchanging thread from then on, and this
    // exchanger must not be used again (the caller forgets it; it frees
    // itself).
    static Exchanger *create();
    LONG exchange(SCARDCONTEXT context, SCARDHANDLE card, DWORD protocol, const std::uint8_t *command,
                  std::size_t length, std::uint32_t timeout_ms);

    const BYTE *received() const { return received_.data(); }
    DWORD received_length() const { return received_length_; }

private:
    Exchanger() = default;
    static void *run(void *self);
    // Waits for the thread's answer until the deadline; false when none came.
    bool await_answer(std::uint32_t timeout_ms);
    static void destroy(Exchanger *self);

    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed_;
    bool has_job_ = false;
    bool done_ = false;
    bool abandoned_ = false;

    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    DWORD command_length_ = 0;
    LONG result_ = SCARD_S_SUCCESS;
    DWORD received_length_ = 0;
    std::array<BYTE, kMaxApdu> command_{};
    std::array<BYTE, kMaxApdu> received_{};
};

}  // namespace qvk::ccid
