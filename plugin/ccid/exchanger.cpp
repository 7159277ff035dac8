// SPDX-License-Identifier: BSD-3-Clause
#include "exchanger.h"

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace qvk::ccid {

namespace {

const SCARD_IO_REQUEST *send_pci(DWORD protocol) {
    return protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
}

}  // namespace

// Allocated with calloc, not new: the plug-in needs nothing but libc and
// libpcsclite.
Exchanger *Exchanger::create() {
    void *memory = std::calloc(1, sizeof(Exchanger));
    if (memory == nullptr) return nullptr;
    auto *self = new (memory) Exchanger;
    pthread_condattr_t clock;
    pthread_condattr_init(&clock);
    pthread_condattr_setclock(&clock, CLOCK_MONOTONIC);
    pthread_cond_init(&self->changed_, &clock);
    pthread_condattr_destroy(&clock);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Signals are for the threads of the program that loaded the plug-in.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, run, self) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (!started) {
        destroy(self);
        return nullptr;
    }
    return self;
}

void Exchanger::destroy(Exchanger *self) {
    pthread_cond_destroy(&self->changed_);
    pthread_mutex_destroy(&self->mutex_);
    self->~Exchanger();
    std::free(self);
}

void *Exchanger::run(void *argument) {
    auto *self = static_cast<Exchanger *>(argument);
    pthread_mutex_lock(&self->mutex_);
    for (;;) {
        while (!self->has_job_) pthread_cond_wait(&self->changed_, &self->mutex_);
        // The job stays as it is until it is done.
        pthread_mutex_unlock(&self->mutex_);
        DWORD received = static_cast<DWORD>(self->received_.size());
        const LONG result = SCardTransmit(self->card_, send_pci(self->protocol_), self->command_.data(),
                                          self->command_length_, nullptr, self->received_.data(), &received);
        pthread_mutex_lock(&self->mutex_);
        self->result_ = result;
        self->received_length_ = received;
        self->has_job_ = false;
        self->done_ = true;
        if (self->abandoned_) {
            // Nobody waits any more: give back what the caller left here.
            pthread_mutex_unlock(&self->mutex_);
            SCardDisconnect(self->card_, SCARD_LEAVE_CARD);
            SCardReleaseContext(self->context_);
            destroy(self);
            return nullptr;
        }
        pthread_cond_broadcast(&self->changed_);
    }
}

bool Exchanger::await_answer(std::uint32_t timeout_ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000;
    }
    while (!done_) {
        if (timeout_ms == 0) {
            pthread_cond_wait(&changed_, &mutex_);
        } else if (pthread_cond_timedwait(&changed_, &mutex_, &deadline) == ETIMEDOUT) {
            return done_;
        }
    }
    return true;
}

LONG Exchanger::exchange(SCARDCONTEXT context, SCARDHANDLE card, DWORD protocol, const std::uint8_t *command,
                         std::size_t length, std::uint32_t timeout_ms) {
    pthread_mutex_lock(&mutex_);
    context_ = context;
    card_ = card;
    protocol_ = protocol;
    std::memcpy(command_.data(), command, length);
    command_length_ = static_cast<DWORD>(length);
    done_ = false;
    has_job_ = true;
    pthread_cond_broadcast(&changed_);
    if (!await_answer(timeout_ms)) {
        abandoned_ = true;
        pthread_mutex_unlock(&mutex_);
        return kAbandoned;
    }
    const LONG result = result_;
    pthread_mutex_unlock(&mutex_);
    return result;
}

}  // namespace qvk::ccid
