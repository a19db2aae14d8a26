// Coroutine frames and boxed futures recycled per thread: an operation
// allocates and frees a few of the same sizes every time, and malloc/free of
// them was the largest single cost of a round trip. A freed block goes to the
// freeing thread's list for its size class and is handed out again by that
// thread.
#pragma once

#include <cstddef>

namespace marovenda::poll {

void* frame_alloc(std::size_t size);
void frame_free(void* p, std::size_t size) noexcept;

}  // namespace marovenda::poll
