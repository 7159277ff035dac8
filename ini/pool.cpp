// SPDX-License-Identifier: BSD-3-Clause
// The key pool: key records and key names come from large blocks owned by
// the handle, so that indexing a big file costs no allocation per key and
// closing it frees a few blocks instead of every record. The memory of a
// removed key returns when the handle is closed.
#include <cstdlib>

#include "ini_internal.h"

struct ini_block {
    ini_block *next;
    std::size_t size; /* bytes after the header */
    std::size_t used;
};

namespace {

constexpr std::size_t BLOCK_SIZE = 64 * 1024;
constexpr std::size_t ALIGNMENT = alignof(std::max_align_t);

std::size_t rounded(std::size_t size) { return (size + ALIGNMENT - 1) & ~(ALIGNMENT - 1); }
char *bytesOf(ini_block *block) { return reinterpret_cast<char *>(block) + rounded(sizeof(ini_block)); }

ini_block *newBlock(std::size_t size) {
    auto *block = static_cast<ini_block *>(std::malloc(rounded(sizeof(ini_block)) + size));
    if (block) *block = ini_block{nullptr, size, 0};
    return block;
}

}  // namespace

void *__ini_poolAlloc(ini_t *ini, std::size_t size) {
    size = rounded(size);
    ini_block *block = ini->keyPool;
    if (size > BLOCK_SIZE / 4) {
        // Large: a block of its own, behind the one that small requests use.
        ini_block *own = newBlock(size);
        if (!own) return nullptr;
        own->used = size;
        ini_block *&link = block ? block->next : ini->keyPool;
        own->next = link;
        link = own;
        return bytesOf(own);
    }
    if (!block || block->size - block->used < size) {
        block = newBlock(BLOCK_SIZE);
        if (!block) return nullptr;
        block->next = ini->keyPool;
        ini->keyPool = block;
    }
    char *bytes = bytesOf(block) + block->used;
    block->used += size;
    return bytes;
}

void __ini_poolGiveBack(ini_t *ini, void *bytes, std::size_t size) {
    ini_block *block = ini->keyPool;
    size = rounded(size);
    if (block && block->used >= size && bytesOf(block) + block->used - size == bytes) block->used -= size;
}

void __ini_poolRelease(ini_t *ini) {
    while (ini_block *block = ini->keyPool) {
        ini->keyPool = block->next;
        std::free(block);
    }
}
