// SPDX-License-Identifier: BSD-3-Clause
// A card on the far end of a SEQPACKET socket pair. Like the driver's node,
// every write is one message and every read takes one whole message. Answers
// are queued before the exchange; the commands the card received are read
// back afterwards. No thread is needed: the two directions are independent.
// A read with no answer queued fails after a few seconds rather than hang.
#pragma once

#include <cstdint>
#include <vector>

namespace qvk::test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedCard {
public:
    ScriptedCard();
    ~ScriptedCard();
    ScriptedCard(const ScriptedCard &) = delete;
    ScriptedCard &operator=(const ScriptedCard &) = delete;

    // The descriptor to hand to the plug-in's exchange.
    int descriptor() const { return host_; }

    // Queues the answer to the next command (an empty answer is a message of
    // zero bytes, which the host reads as 0).
    void answer(const Bytes &bytes);

    // Every command received since the last call, in order.
    std::vector<Bytes> commands();

    // The card stops answering: the host's next read sees end of file.
    void stop_answering();
    // The card goes away: the host's next write fails.
    void hang_up();

private:
    int host_ = -1;
    int card_ = -1;
};

// Bytes from a hex text such as "00 A4 00 00 02 3F 00".
Bytes hex(const char *text);

// The four bytes of a 32-bit value in host order, as the daemon's segment
// holds every wider integer.
Bytes le32(std::uint32_t value);

}  // namespace qvk::test
