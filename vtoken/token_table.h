// SPDX-License-Identifier: BSD-3-Clause
// The tokens plugged into the virtual reader, and hot plug: nodes come and go
// while the file system is mounted. Each index keeps its card for the life of
// the table, so a token that is unplugged and plugged in again still holds
// what was written to it. Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "card.h"
#include "card_layout.h"
#include "fault.h"

namespace qvk::vtoken {

// One plugged-in token. Descriptors opened on it hold it; once it is
// unplugged their reads and writes fail, even if the index is plugged again.
class TokenNode {
public:
    TokenNode(int index, std::shared_ptr<Card> card, Fault fault);
    int index() const { return index_; }
    Card &card() const { return *card_; }

    bool plugged() const;
    Fault fault() const;
    void set_fault(const Fault &fault);

private:
    friend class TokenTable;
    void unplug();

    const int index_;
    const std::shared_ptr<Card> card_;
    mutable std::mutex mutex_;
    bool plugged_ = true;
    Fault fault_;
};

class TokenTable {
public:
    explicit TokenTable(std::vector<FileSpec> layout);

    // Plugs token `index` in; throws std::invalid_argument when it is present.
    void plug(int index);
    // Unplugs token `index`; throws std::invalid_argument when it is absent.
    void unplug(int index);
    // Sets the fault of token `index`, plugged or not; it applies from the next
    // read or write on, and survives unplugging.
    void set_fault(int index, const Fault &fault);

    // The token plugged in at `index`, or null.
    std::shared_ptr<TokenNode> find(int index) const;
    // `listener` is called after every plug and unplug, outside the table's
    // lock (for example to insert or remove the card in a virtual reader).
    void on_change(std::function<void()> listener);
    std::vector<int> plugged_indices() const;
    Fault fault(int index) const;

private:
    std::shared_ptr<Card> card_for(int index);
    void changed() const;

    const std::vector<FileSpec> layout_;
    mutable std::mutex mutex_;
    std::map<int, std::shared_ptr<TokenNode>> plugged_;
    std::map<int, std::shared_ptr<Card>> cards_;
    std::map<int, Fault> faults_;
    std::function<void()> listener_;
};

}  // namespace qvk::vtoken
