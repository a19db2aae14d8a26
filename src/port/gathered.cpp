#include "port/gathered.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace marovenda::port {

void Gathered::FreeBlocks::operator()(Block* b) const noexcept {
    while (b) ::operator delete(std::exchange(b, b->next));
}

Gathered::Block* Gathered::Block::make(std::size_t capacity) {
    // Left uninitialised: only what the device wrote into it is read.
    void* at = ::operator new(sizeof(Block) + capacity);
    auto* b = new (at) Block;
    b->capacity = capacity;
    return b;
}

Gathered::Gathered(const Gathered& other) : size_(other.size_), small_size_(other.small_size_) {
    std::memcpy(small_, other.small_, kSmall);
    for (const Block* b = other.rest_.get(); b; b = b->next) {
        Block* copy = Block::make(b->size);
        std::memcpy(copy->bytes(), b->view().data(), b->size);
        copy->size = b->size;
        append(copy);
    }
}

void Gathered::append(Block* b) noexcept {
    if (last_) {
        last_->next = b;
    } else {
        rest_.reset(b);
    }
    last_ = b;
}

std::span<std::uint8_t> Gathered::room_in_new_block(std::size_t len, std::size_t most) {
    if (!last_) small_size_ = size_;
    // As much as all before it and this room, so that device reads a little
    // short of len still fill blocks well.
    append(Block::make(std::max(len, std::min({most, kMaxBlock, std::max(size_ + len, kMinBlock)}))));
    return {last_->bytes(), len};
}

bool Gathered::ends_with_across(std::string_view suffix) const noexcept {
    if (suffix.size() > size_) return false;
    // The suffix spans blocks: compare it piece by piece.
    const std::size_t from = size_ - suffix.size();
    std::size_t at = 0;  // where the block begins in the whole
    bool same = true;
    each_block([&](std::string_view b) {
        const std::size_t end = at + b.size();
        if (same && end > from) {
            const std::size_t lo = std::max(at, from);
            same = b.substr(lo - at) == suffix.substr(lo - from, end - lo);
        }
        at = end;
    });
    return same;
}

}  // namespace marovenda::port
