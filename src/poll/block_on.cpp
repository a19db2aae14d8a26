#include "poll/block_on.hpp"

namespace marovenda::poll {

std::shared_ptr<Parker> thread_parker() {
    thread_local std::shared_ptr<Parker> kept;
    if (kept && kept.use_count() == 1) {
        kept->clear();
    } else {
        kept = std::make_shared<Parker>();
    }
    return kept;
}

}  // namespace marovenda::poll
