// SPDX-License-Identifier: BSD-3-Clause
// The four entry points that qvkserver binds by name, on pcsc-lite: list the
// readers that hold a card, connect to one, exchange APDUs, disconnect.
#include "qvkmgrccid.h"

#include <pthread.h>
#include <winscard.h>

#include <array>
#include <cstring>
#include <type_traits>

#include "ccid_config.h"
#include "handle_table.h"
#include "pcsc_context.h"

using namespace qvk::ccid;

static_assert(std::is_same_v<decltype(&EnumQvDevPath), qvk_enum_fn>);
static_assert(std::is_same_v<decltype(&OpenQvDev), qvk_open_fn>);
static_assert(std::is_same_v<decltype(&CloseQvDev), qvk_close_fn>);
static_assert(std::is_same_v<decltype(&Icc_tsi_apiQvDev), qvk_transmit_fn>);

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
        // Unloaded or the process ends: leave every card as it is. A card in
        // an exchange is left to it.
        handles.for_each([](OpenCard &open) {
            if (open.exchanges > 0) return;
            SCardDisconnect(open.card, SCARD_LEAVE_CARD);
            SCardReleaseContext(open.context);
        });
    }

    Mutex mutex;
    PcscContext context;  // for listing the readers
    HandleTable handles;
};

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

// Disconnects the card and releases its context, and forgets the handle.
void release(OpenCard &open) {
    SCardDisconnect(open.card, SCARD_LEAVE_CARD);
    SCardReleaseContext(open.context);
    g_family.handles.remove(open);
}

QVK_CCID_EXPORT uint16_t CloseQvDev(uint32_t handle) {
    Turn turn(g_family.mutex);
    OpenCard *open = g_family.handles.find(handle);
    if (open == nullptr || open->closing) return 0;
    if (open->exchanges > 0) {
        open->closing = true;  // the last exchange on it releases it
        return 1;
    }
    release(*open);
    return 1;
}

namespace {

bool context_lost(LONG result) {
    return result == SCARD_E_NO_SERVICE || result == SCARD_E_SERVICE_STOPPED ||
           result == SCARD_E_INVALID_HANDLE || result == SCARD_F_COMM_ERROR;
}

}  // namespace

// The exchange itself runs without the plug-in's mutex: each card has a
// PC/SC context of its own, so an exchange that a card (or its reader, or
// pcscd) never answers holds up nothing else of the plug-in. The caller
// (qvkserver) bounds the call.
QVK_CCID_EXPORT uint32_t Icc_tsi_apiQvDev(uint32_t handle, int32_t command_length,
                                          const uint8_t *command, int32_t *response_length,
                                          uint8_t *response) {
    if (command == nullptr || response_length == nullptr || response == nullptr) return kNoAnswer;
    const std::size_t room = *response_length > 0 ? static_cast<std::size_t>(*response_length) : 0;
    *response_length = 0;
    if (command_length < static_cast<int32_t>(kMinApdu) || static_cast<std::size_t>(command_length) > kMaxApdu)
        return kNoAnswer;

    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    {
        Turn turn(g_family.mutex);
        OpenCard *open = g_family.handles.find(handle);
        if (open == nullptr || open->dead || open->closing) return kNoAnswer;
        ++open->exchanges;
        card = open->card;
        protocol = open->protocol;
    }
    std::array<BYTE, kMaxApdu> received;
    DWORD length = static_cast<DWORD>(received.size());
    const LONG result = SCardTransmit(card, send_pci(protocol), command, static_cast<DWORD>(command_length),
                                      nullptr, received.data(), &length);

    Turn turn(g_family.mutex);
    OpenCard &open = *g_family.handles.find(handle);
    if (--open.exchanges == 0 && open.closing) {
        release(open);
        return kNoAnswer;
    }
    if (result == SCARD_W_RESET_CARD) {
        // Another application reset the card: connect the handle again so
        // that later exchanges work, but this one reports the lost state.
        DWORD again = 0;
        if (SCardReconnect(open.card, SCARD_SHARE_SHARED, kProtocols, SCARD_LEAVE_CARD, &again) ==
            SCARD_S_SUCCESS)
            open.protocol = again;
        return kNoAnswer;
    }
    // A card inserted later is another card; a restarted pcscd knows
    // nothing of this card's context.
    if (result == SCARD_W_REMOVED_CARD || result == SCARD_E_NO_SMARTCARD ||
        result == SCARD_E_READER_UNAVAILABLE || context_lost(result))
        open.dead = true;
    if (result != SCARD_S_SUCCESS || length < 2) return kNoAnswer;

    const std::size_t data_length = length - 2;
    if (data_length > room) return kNoAnswer;
    std::memcpy(response, received.data(), data_length);
    *response_length = static_cast<int32_t>(data_length);
    return static_cast<uint32_t>(received[data_length]) << 8 | received[data_length + 1];
}
