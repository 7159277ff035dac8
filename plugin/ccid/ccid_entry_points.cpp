// SPDX-License-Identifier: BSD-3-Clause
// The four entry points that qvkserver binds by name, on pcsc-lite: list the
// readers that hold a card, connect to one, exchange APDUs, disconnect.
#include "qvkmgrccid.h"

#include <pthread.h>
#include <winscard.h>

#include <array>
#include <atomic>
#include <cstring>
#include <type_traits>

#include "ccid_config.h"
#include "exchanger.h"
#include "handle_table.h"
#include "pcsc_context.h"

using namespace qvk::ccid;

static_assert(std::is_same_v<decltype(&EnumQvDevPath), qvk_enum_fn>);
static_assert(std::is_same_v<decltype(&OpenQvDev), qvk_open_fn>);
static_assert(std::is_same_v<decltype(&CloseQvDev), qvk_close_fn>);
static_assert(std::is_same_v<decltype(&Icc_tsi_apiQvDev), qvk_transmit_fn>);
static_assert(std::is_same_v<decltype(&SetQvDevTimeout), qvk_set_timeout_fn>);

namespace {

// A plain mutex: std::mutex would draw in the C++ library for its
// exceptions, and the plug-in needs nothing but libc and libpcsclite.
class Mutex {
public:
    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

class Turn {
public:
    explicit Turn(Mutex &mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Turn() { mutex_.unlock(); }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;

private:
    Mutex &mutex_;
};

// Everything the plug-in keeps between calls; calls take turns on the mutex.
class Family {
public:
    ~Family() {
        // Unloaded or the process ends: leave every card as it is. A card
        // given to an abandoned exchange is that exchange's to release.
        handles.for_each([](OpenCard &open) {
            if (open.context == 0) return;
            SCardDisconnect(open.card, SCARD_LEAVE_CARD);
            SCardReleaseContext(open.context);
        });
    }

    Mutex mutex;
    PcscContext context;  // for listing the readers
    HandleTable handles;
    Exchanger *exchanger = nullptr;  // made when first needed, and anew after one was abandoned
    std::array<BYTE, kMaxApdu> received{};
};

// How long an exchange may take, in milliseconds; 0: no bound.
std::atomic<std::uint32_t> g_timeout_ms{0};

Family g_family;

// Frees what SCardListReaders allocated, whatever happens to the context.
class ReaderNames {
public:
    ~ReaderNames() {
        if (names_ != nullptr) SCardFreeMemory(context_, names_);
    }
    LONG list(SCARDCONTEXT context) {
        if (names_ != nullptr) SCardFreeMemory(context_, names_);
        names_ = nullptr;
        context_ = context;
        DWORD length = SCARD_AUTOALLOCATE;
        return SCardListReaders(context, nullptr, reinterpret_cast<LPSTR>(&names_), &length);
    }
    // The multi-string: names, each ended by NUL, then one more NUL.
    const char *names() const { return names_; }

private:
    SCARDCONTEXT context_ = 0;
    char *names_ = nullptr;
};

bool card_usable(DWORD state) {
    return (state & SCARD_STATE_PRESENT) != 0 &&
           (state & (SCARD_STATE_MUTE | SCARD_STATE_UNAVAILABLE | SCARD_STATE_IGNORE)) == 0;
}

const SCARD_IO_REQUEST *send_pci(DWORD protocol) {
    return protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
}

}  // namespace

QVK_CCID_EXPORT uint16_t EnumQvDevPath(uint8_t *count, char *path_list) {
    if (count == nullptr || path_list == nullptr) return 0;
    Turn turn(g_family.mutex);
    *count = 0;

    ReaderNames readers;
    std::array<SCARD_READERSTATE, kMaxReaders> states{};
    DWORD reader_count = 0;
    const LONG result = g_family.context.run([&](SCARDCONTEXT context) {
        LONG listed = readers.list(context);
        if (listed != SCARD_S_SUCCESS) return listed;
        reader_count = 0;
        for (const char *name = readers.names(); *name != '\0' && reader_count < states.size();
             name += std::strlen(name) + 1) {
            states[reader_count] = SCARD_READERSTATE{};
            states[reader_count].szReader = name;
            states[reader_count].dwCurrentState = SCARD_STATE_UNAWARE;
            ++reader_count;
        }
        // Timeout 0: the states as they are now, without waiting for a change.
        return SCardGetStatusChange(context, 0, states.data(), reader_count);
    });
    if (result != SCARD_S_SUCCESS) return 0;  // no service, no reader, ...

    std::size_t found = 0;
    for (DWORD i = 0; i < reader_count && found < kMaxListed; ++i) {
        const std::size_t length = std::strlen(states[i].szReader);
        if (length > kMaxNameLength || !card_usable(states[i].dwEventState)) continue;
        char *slot = path_list + found * kSlotSize;
        std::memset(slot, 0, kSlotSize);
        std::memcpy(slot, states[i].szReader, length);
        ++found;
    }
    *count = static_cast<uint8_t>(found);
    return found > 0 ? 1 : 0;
}

// Each card gets a context of its own (see handle_table.h).
QVK_CCID_EXPORT uint32_t OpenQvDev(const char *reader) {
    if (reader == nullptr) return QVK_HANDLE_NONE;
    Turn turn(g_family.mutex);
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS)
        return QVK_HANDLE_NONE;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardConnect(context, reader, SCARD_SHARE_SHARED, kProtocols, &card, &protocol) != SCARD_S_SUCCESS) {
        SCardReleaseContext(context);
        return QVK_HANDLE_NONE;
    }
    const uint32_t handle = g_family.handles.add(context, card, protocol);
    if (handle == QVK_HANDLE_NONE) {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);
    }
    return handle;
}

QVK_CCID_EXPORT uint16_t CloseQvDev(uint32_t handle) {
    Turn turn(g_family.mutex);
    OpenCard *open = g_family.handles.find(handle);
    if (open == nullptr) return 0;
    if (open->context != 0) {
        SCardDisconnect(open->card, SCARD_LEAVE_CARD);
        SCardReleaseContext(open->context);
    }
    g_family.handles.remove(*open);
    return 1;
}

QVK_CCID_EXPORT void SetQvDevTimeout(uint32_t milliseconds) {
    g_timeout_ms.store(milliseconds, std::memory_order_relaxed);
}

namespace {

// One exchange with an open card: the PC/SC result, the answer in *answer
// and its length in received. With a bound set, on a thread of its own
// (exchanger.h); a card whose exchange was abandoned is dead.
LONG exchange(OpenCard &open, const uint8_t *command, std::size_t length, const BYTE *&answer,
              DWORD &received) {
    const uint32_t timeout_ms = g_timeout_ms.load(std::memory_order_relaxed);
    if (timeout_ms != 0 && g_family.exchanger == nullptr) g_family.exchanger = Exchanger::create();
    if (timeout_ms == 0 || g_family.exchanger == nullptr) {
        received = static_cast<DWORD>(g_family.received.size());
        answer = g_family.received.data();
        return SCardTransmit(open.card, send_pci(open.protocol), command, static_cast<DWORD>(length), nullptr,
                             g_family.received.data(), &received);
    }
    Exchanger &exchanger = *g_family.exchanger;
    const LONG result = exchanger.exchange(open.context, open.card, open.protocol, command, length, timeout_ms);
    if (result == Exchanger::kAbandoned) {
        g_family.exchanger = nullptr;
        open.context = 0;
        open.card = 0;
        open.dead = true;  // a late answer must not be taken for a later command's
        return result;
    }
    answer = exchanger.received();
    received = exchanger.received_length();
    return result;
}

bool context_lost(LONG result) {
    return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED ||
           result == SCARD_E_INVALID_HANDLE || result == SCARD_F_COMM_ERROR;
}

}  // namespace

QVK_CCID_EXPORT uint32_t Icc_tsi_apiQvDev(uint32_t handle, int32_t command_length,
                                          const uint8_t *command, int32_t *response_length,
                                          uint8_t *response) {
    if (command == nullptr || response_length == nullptr || response == nullptr) return kNoAnswer;
    const std::size_t room = *response_length > 0 ? static_cast<std::size_t>(*response_length) : 0;
    *response_length = 0;
    if (command_length < static_cast<int32_t>(kMinApdu) || static_cast<std::size_t>(command_length) > kMaxApdu)
        return kNoAnswer;

    Turn turn(g_family.mutex);
    OpenCard *open = g_family.handles.find(handle);
    if (open == nullptr || open->dead) return kNoAnswer;

    const BYTE *answer = nullptr;
    DWORD received = 0;
    const LONG result = exchange(*open, command, static_cast<std::size_t>(command_length), answer, received);
    if (result == SCARD_W_RESET_CARD) {
        // Another application reset the card: connect the handle again so
        // that later exchanges work, but this one reports the lost state.
        DWORD protocol = 0;
        if (SCardReconnect(open->card, SCARD_SHARE_SHARED, kProtocols, SCARD_LEAVE_CARD,
                           &protocol) == SCARD_S_SUCCESS)
            open->protocol = protocol;
        return kNoAnswer;
    }
    // A card inserted later is another card; a restarted pcscd knows
    // nothing of this card's context.
    if (result == SCARD_W_REMOVED_CARD || result == SCARD_E_NO_SMARTCARD ||
        result == SCARD_E_READER_UNAVAILABLE || context_lost(result))
        open->dead = true;
    if (result != SCARD_S_SUCCESS || received < 2) return kNoAnswer;

    const std::size_t data_length = received - 2;
    if (data_length > room) return kNoAnswer;
    std::memcpy(response, answer, data_length);
    *response_length = static_cast<int32_t>(data_length);
    return static_cast<uint32_t>(answer[data_length]) << 8 | answer[data_length + 1];
}
