// Coroutine frames and boxed futures recycled per thread: an operation
// allocates and frees a few of the same sizes every time, and malloc/free of
// them was the largest single cost of a round trip. A freed block goes to the
// freeing thread's list for its size class and is handed out again by that
// thread.
//
// What a thread keeps: up to 16 free blocks in each of 64 size classes, 64
// bytes apart (blocks up to 4 KiB; larger ones go straight to the heap), so
// at most about 2 MiB, freed when the thread exits. Under AddressSanitizer
// the pool stays on and a kept block is poisoned, so a use of a frame after
// it was freed is reported even when the pool hands it out again later;
// under ThreadSanitizer every frame is its own heap allocation.
#pragma once

#include <cstddef>

namespace marovenda::poll {

void* frame_alloc(std::size_t size);
void frame_free(void* p, std::size_t size) noexcept;

}  // namespace marovenda::poll
