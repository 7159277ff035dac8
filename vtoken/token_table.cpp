// SPDX-License-Identifier: BSD-3-Clause
#include "token_table.h"

#include <stdexcept>

#include "node_names.h"

namespace qvk::vtoken {

TokenNode::TokenNode(int index, std::shared_ptr<Card> card, Fault fault)
    : index_(index), card_(std::move(card)), fault_(fault) {}

bool TokenNode::plugged() const {
    std::lock_guard lock(mutex_);
    return plugged_;
}

Fault TokenNode::fault() const {
    std::lock_guard lock(mutex_);
    return fault_;
}

void TokenNode::set_fault(const Fault &fault) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
}

void TokenNode::unplug() {
    std::lock_guard lock(mutex_);
    plugged_ = false;
}

TokenTable::TokenTable(std::vector<FileSpec> layout) : layout_(std::move(layout)) {}

std::shared_ptr<Card> TokenTable::card_for(int index) {
    auto &card = cards_[index];
    if (!card) {
        card = std::make_shared<Card>();
        install_files(*card, index, layout_);
    }
    return card;
}

void TokenTable::plug(int index) {
    {
        std::lock_guard lock(mutex_);
        if (plugged_.contains(index))
            throw std::invalid_argument(node_name(index) + " is already plugged in");
        plugged_[index] = std::make_shared<TokenNode>(index, card_for(index), faults_[index]);
    }
    changed();
}

void TokenTable::unplug(int index) {
    {
        std::lock_guard lock(mutex_);
        const auto found = plugged_.find(index);
        if (found == plugged_.end())
            throw std::invalid_argument(node_name(index) + " is not plugged in");
        found->second->unplug();
        plugged_.erase(found);
    }
    changed();
}

void TokenTable::on_change(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void TokenTable::changed() const {
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

void TokenTable::set_fault(int index, const Fault &fault) {
    std::lock_guard lock(mutex_);
    faults_[index] = fault;
    if (const auto found = plugged_.find(index); found != plugged_.end())
        found->second->set_fault(fault);
}

std::shared_ptr<TokenNode> TokenTable::find(int index) const {
    std::lock_guard lock(mutex_);
    const auto found = plugged_.find(index);
    return found == plugged_.end() ? nullptr : found->second;
}

std::vector<int> TokenTable::plugged_indices() const {
    std::lock_guard lock(mutex_);
    std::vector<int> indices;
    for (const auto &entry : plugged_) indices.push_back(entry.first);
    return indices;
}

Fault TokenTable::fault(int index) const {
    std::lock_guard lock(mutex_);
    const auto found = faults_.find(index);
    return found == faults_.end() ? Fault{} : found->second;
}

}  // namespace qvk::vtoken
