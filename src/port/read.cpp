// The read family: every read is a sequence of bounded chunks, each racing the
// device against cancel-read and an optional deadline. A device read happens
// only inside a poll of the device under the backend lock, so a side that
// loses a race has taken no bytes. Every chunk of a loop spends a unit of
// its poll's budget before its deadline is fixed: a read that keeps finding
// data gives way now and then instead of looping inside one poll, and the
// time until it is polled again is not taken from that chunk's timeout.
#include <algorithm>
#include <memory>

#include "port/port.hpp"

namespace marovenda::port {

namespace {

constexpr std::size_t kChunk = 4096;

// The deadline of a chunk: the overall one until data has come, then the
// earlier of it and now + inter_byte (or the one of them that exists).
std::optional<poll::Instant> chunk_deadline(std::optional<poll::Instant> overall, bool have_data,
                                            std::optional<Duration> inter_byte) {
    if (!have_data || !inter_byte) return overall;
    auto inter = deadline_after(inter_byte);
    if (!inter) return overall;
    if (!overall) return inter;
    return std::min(*inter, *overall);
}

// A finished device read: bytes, the disconnect error for none, or its error.
Result<std::optional<std::size_t>> chunk_result(Result<std::size_t>&& r) {
    if (!r) return std::move(r).error();
    if (r.value() == 0) return SerialError::os(std::nullopt, std::string(kDisconnectMessage));
    return std::optional<std::size_t>(r.value());
}

}  // namespace

poll::Task<Result<std::optional<std::size_t>>> PortCore::read_chunk(PortCore& core, Session session,
                                                                    std::optional<poll::Instant> deadline,
                                                                    std::span<std::uint8_t> buf) {
    auto cancel = core.cancel_read_.notified();
    ReadSome device{&core, session, buf};
    if (!deadline) {
        poll::Select race(device, cancel);
        auto won = co_await race;
        if (won.index() == 1) co_return std::optional<std::size_t>();
        co_return chunk_result(std::get<0>(std::move(won)));
    }
    if (passed(deadline)) {
        // One attempt; a stored cancel permit stays stored.
        poll::PollOnce attempt(device);
        auto got = co_await attempt;
        if (!got) co_return std::optional<std::size_t>();
        co_return chunk_result(std::move(*got));
    }
    poll::Timeout bounded(device, deadline);
    poll::Select race(bounded, cancel);
    auto won = co_await race;
    if (won.index() == 1) co_return std::optional<std::size_t>();
    auto got = std::get<0>(std::move(won));
    if (!got) co_return std::optional<std::size_t>();
    co_return chunk_result(std::move(*got));
}

ReadTimes ReadTimes::of(const Settings& s) {
    const auto timeout = timeouts::duration(s.timeout);
    return {deadline_after(timeout), timeout, timeouts::duration(s.inter_byte_timeout)};
}

poll::Task<Result<Gathered>> PortCore::read_locked(PortCore& core, Session session, std::size_t size,
                                                   Gathered result, std::optional<ReadTimes> times) {
    if (!times) times = ReadTimes::of(core.settings());
    poll::Proceed proceed;
    while (result.size() < size) {
        co_await proceed;
        // The device reads straight into the result, which keeps what came.
        const std::size_t have = result.size();
        const std::size_t len = std::min(size - have, kChunk);
        auto room = result.room(len, size - have);
        auto chunk = read_chunk(core, session, chunk_deadline(times->overall, have != 0, times->inter_byte), room);
        auto got = co_await chunk;
        if (!got) co_return std::move(got).error();
        result.commit(got.value().value_or(0));
        if (!got.value()) break;
    }
    co_return result;
}

poll::Task<Result<Gathered>> PortCore::read_whole(std::shared_ptr<PortCore> core, std::size_t size) {
    return holding(core, core->read_lock_, [&c = *core, size](Session s) { return read_locked(c, s, size); });
}

poll::Task<Result<Gathered>> PortCore::read_rest(std::shared_ptr<PortCore> core, poll::AsyncMutex::Guard held,
                                                 Session session, std::size_t size, Gathered got,
                                                 const ReadTimes& times) {
    auto go_on = [&c = *core, size, got = std::move(got), times](Session s) mutable {
        return read_locked(c, s, size, std::move(got), times);
    };
    return adopted(std::move(core), std::move(held), session, std::move(go_on));
}

poll::Poll<Result<Gathered>> PortCore::read_first(ReadFuture& f, poll::Context& cx) {
    const std::shared_ptr<PortCore>& core = f.core_;
    PortCore& c = *core;
    const std::size_t size = f.size_;
    // A read of nothing still fails on a closed port, and a stored cancel is
    // a race with the device: the whole operation runs those.
    auto held = size != 0 && !c.cancel_read_.has_permit() ? c.read_lock_.try_lock() : std::nullopt;
    if (!held) {
        f.rest_.emplace(read_whole(core, size));
        return f.rest_->poll(cx);
    }
    Gathered result;
    const auto room = result.room(std::min(size, kChunk), size);
    Session session;
    auto p = c.poll_read_first(cx, room, session);
    if (p.ready()) {
        auto got = chunk_result(std::move(p).value());
        if (!got) {
            c.close_if_disconnected(got.error(), session);
            f.finished_.set();
            return Result<Gathered>(std::move(got).error());
        }
        result.commit(*got.value());
        if (result.size() == size) {
            f.finished_.set();
            return Result<Gathered>(std::move(result));
        }
    } else {
        result.commit(0);
    }
    // The deadlines count from here, one device poll after the lock was
    // taken. That poll was the first chunk's, whose deadline is the overall
    // one: when it found nothing and that has passed, it was the only poll
    // the chunk may make.
    const ReadTimes times = ReadTimes::of(c.settings());
    if (result.empty() && passed(times.overall)) {
        f.finished_.set();
        return Result<Gathered>(Gathered());
    }
    f.rest_.emplace(read_rest(core, std::move(*held), session, size, std::move(result), times));
    return f.rest_->poll(cx);
}

poll::Poll<Result<Gathered>> ReadFuture::poll(poll::Context& cx) {
    if (rest_) return rest_->poll(cx);  // a Task: it checks for itself that it is not polled when done
    finished_.check();
    return PortCore::read_first(*this, cx);
}

poll::Task<Result<Gathered>> PortCore::read_until_locked(PortCore& core, Session session, Bytes expected,
                                                         std::optional<std::size_t> size, bool per_byte_deadline) {
    const ReadTimes times = ReadTimes::of(core.settings());
    Gathered result;
    poll::Proceed proceed;
    for (;;) {
        if (size && result.size() >= *size) co_return result;
        co_await proceed;
        const auto deadline = per_byte_deadline ? deadline_after(times.timeout)
                                                : chunk_deadline(times.overall, !result.empty(), times.inter_byte);
        // A byte at a time, straight into the result.
        auto room = result.room(1, size ? *size - result.size() : SIZE_MAX);
        auto chunk = read_chunk(core, session, deadline, room);
        auto got = co_await chunk;
        if (!got) co_return std::move(got).error();
        result.commit(got.value().value_or(0));
        if (!got.value()) co_return result;
        if (!expected.empty() && result.ends_with(expected)) co_return result;
    }
}

poll::Task<Result<std::vector<Gathered>>> PortCore::readlines_locked(PortCore& core, Session session,
                                                                     std::optional<std::size_t> hint) {
    std::vector<Gathered> lines;
    std::size_t total = 0;
    for (;;) {
        auto next = read_until_locked(core, session, "\n", std::nullopt, true);
        auto line = co_await next;
        if (!line) co_return std::move(line).error();
        if (line.value().empty()) co_return lines;
        total += line.value().size();
        lines.push_back(std::move(line).value());
        if (hint && total >= *hint) co_return lines;
    }
}

ReadFuture PortCore::read(std::shared_ptr<PortCore> core, std::size_t size) {
    return ReadFuture(std::move(core), size);
}

poll::Task<Result<Gathered>> PortCore::read_until(std::shared_ptr<PortCore> core, Bytes expected,
                                                  std::optional<std::size_t> size) {
    return holding(core, core->read_lock_, [&c = *core, expected = std::move(expected), size](Session s) mutable {
        return read_until_locked(c, s, std::move(expected), size, false);
    });
}

poll::Task<Result<Gathered>> PortCore::readline(std::shared_ptr<PortCore> core, std::optional<std::size_t> size) {
    return holding(core, core->read_lock_,
                   [&c = *core, size](Session s) { return read_until_locked(c, s, "\n", size, true); });
}

poll::Task<Result<std::vector<Gathered>>> PortCore::readlines(std::shared_ptr<PortCore> core,
                                                              std::optional<std::size_t> hint) {
    return holding(core, core->read_lock_, [&c = *core, hint](Session s) { return readlines_locked(c, s, hint); });
}

poll::Task<Result<Gathered>> PortCore::read_available_locked(PortCore& core, Session session, std::size_t max) {
    const std::size_t len = std::max<std::size_t>(max, 1);
    Gathered result;
    auto chunk = read_chunk(core, session, std::nullopt, result.room(len, len));
    auto got = co_await chunk;
    if (!got) co_return std::move(got).error();
    result.commit(got.value().value_or(0));
    co_return result;
}

poll::Task<Result<Gathered>> PortCore::read_available(std::shared_ptr<PortCore> core, std::size_t max) {
    return holding(core, core->read_lock_,
                   [&c = *core, max](Session s) { return read_available_locked(c, s, max); });
}

}  // namespace marovenda::port
