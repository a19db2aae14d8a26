// The bytes a read gathers. A poll is bounded, so gathering must not copy
// what it already holds: the bytes sit in blocks that never move once made,
// the device reads straight into the last one, and a block that lacks room
// for the next device read is followed by a new one instead of being grown.
// New blocks grow with the total up to kMaxBlock, so a long read takes few of
// them. The first bytes of a read go inside the object while they fit, so a
// tiny read allocates nothing; any other read of up to one device read (every
// small read) is one block, allocated once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace marovenda::port {

class Gathered {
public:
    static constexpr std::size_t kSmall = 16;
    // The bounds of a new block's size, which grows with the total.
    static constexpr std::size_t kMinBlock = 64;
    static constexpr std::size_t kMaxBlock = std::size_t(1) << 20;

    Gathered() = default;
    Gathered(const Gathered& other);
    Gathered(Gathered&& other) noexcept
        : rest_(std::move(other.rest_)),
          last_(std::exchange(other.last_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          small_size_(other.small_size_) {
        std::memcpy(small_, other.small_, kSmall);
    }
    Gathered& operator=(Gathered other) noexcept {
        swap(other);
        return *this;
    }
    void swap(Gathered& other) noexcept {
        std::swap(small_, other.small_);
        rest_.swap(other.rest_);
        std::swap(last_, other.last_);
        std::swap(size_, other.size_);
        std::swap(small_size_, other.small_size_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // len bytes after the last ones held, for the device to read into; a new
    // block, when one is needed, holds at most `most` bytes (at least len).
    // Must be followed by commit before any other change.
    std::span<std::uint8_t> room(std::size_t len, std::size_t most) {
        if (last_) {
            if (last_->capacity - last_->size >= len) return {last_->bytes() + last_->size, len};
        } else if (kSmall - size_ >= len) {
            return {small_ + size_, len};
        }
        return room_in_new_block(len, most);
    }
    // Of the room last given, the first n bytes (n <= its length) now hold data.
    void commit(std::size_t n) noexcept {
        if (last_) last_->size += n;
        size_ += n;
    }

    bool ends_with(std::string_view suffix) const noexcept {
        const std::string_view tail = last_ ? last_->view() : small_view();
        if (tail.size() >= suffix.size()) return tail.ends_with(suffix);
        return ends_with_across(suffix);
    }

    // f(std::string_view) for every block that holds bytes, in order.
    template <class F>
    void each_block(F&& f) const {
        if (const std::string_view small = small_view(); !small.empty()) f(small);
        for (const Block* b = rest_.get(); b; b = b->next) {
            if (b->size != 0) f(b->view());
        }
    }
    // The bytes, when they are all in one block (or there are none).
    std::optional<std::string_view> one_block() const noexcept {
        if (!last_) return small_view();
        if (small_size_ == 0 && rest_->size == size_) return rest_->view();
        return std::nullopt;
    }
private:
    struct Block;
    // Frees a block and every one after it.
    struct FreeBlocks {
        void operator()(Block* b) const noexcept;
    };
    using BlockPtr = std::unique_ptr<Block, FreeBlocks>;
    // A header followed, in the same allocation, by its capacity in bytes.
    struct Block {
        Block* next = nullptr;
        std::size_t size = 0;
        std::size_t capacity = 0;
        std::uint8_t* bytes() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
        std::string_view view() const noexcept { return {reinterpret_cast<const char*>(this + 1), size}; }
        static Block* make(std::size_t capacity);
    };

    std::string_view small_view() const noexcept {
        return {reinterpret_cast<const char*>(small_), last_ ? small_size_ : size_};
    }
    std::span<std::uint8_t> room_in_new_block(std::size_t len, std::size_t most);
    bool ends_with_across(std::string_view suffix) const noexcept;
    void append(Block* b) noexcept;

    // The first bytes, while they fit; once a block exists, small_size_ of them.
    std::uint8_t small_[kSmall] = {};
    BlockPtr rest_;          // the blocks after those bytes, in order
    Block* last_ = nullptr;  // the last of them, null while there is none
    std::size_t size_ = 0;
    std::size_t small_size_ = 0;
};

}  // namespace marovenda::port
