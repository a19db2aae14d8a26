// A port core over the loopback or the scripted device, with a harness to run
// its operations.
#pragma once

#include <thread>

#include "engine_harness.hpp"
#include "fake_device.hpp"
#include "port/port.hpp"

namespace marovenda::port {

// A value seen under its lock; the lock is held while this lives.
template <class T, class Mutex>
class Locked {
public:
    Locked(Mutex& m, T& v) : lock_(m), v_(&v) {}
    T& operator*() const noexcept { return *v_; }
    T* operator->() const noexcept { return v_; }

private:
    std::unique_lock<Mutex> lock_;
    T* v_;
};

// A read's bytes in one string, compared with one, and in failure messages.
inline std::string joined(const Gathered& g) {
    std::string s;
    g.each_block([&](std::string_view b) { s.append(b); });
    return s;
}
inline bool operator==(const Gathered& g, std::string_view s) { return joined(g) == s; }
inline void PrintTo(const Gathered& g, std::ostream* os) { *os << ::testing::PrintToString(joined(g)); }

// A core's fields seen under their locks, for setting a test up.
struct PortCoreAccess {
    static Locked<backend::BackendPtr, poll::AdaptiveMutex> backend(PortCore& c) { return {c.backend_m_, c.backend_}; }
    static Locked<State, std::mutex> state(PortCore& c) { return {c.state_m_, c.state_}; }
};

}  // namespace marovenda::port

namespace marovenda::test {

using port::PortCoreAccess;

class PortTest : public ::testing::Test {
protected:
    void open_loop(port::Settings s = {}) {
        {
            auto st = PortCoreAccess::state(*core);
            st->port = "loop://";
            st->settings = s;
        }
        ASSERT_TRUE(core->open().ok());
    }
    // Puts the scripted device in the slot, as an open would.
    void open_fake(port::Settings s = {}) {
        PortCoreAccess::state(*core)->settings = s;
        PortCoreAccess::state(*core)->port = "/dev/fake";
        *PortCoreAccess::backend(*core) = std::make_unique<FakeDevice>(script);
    }
    void feed(const std::string& bytes) {
        auto w = port::PortCore::write(core, bytes, port::PortCore::WriteLimit::None);
        auto r = h.block_on(w);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r.value(), bytes.size());
    }
    template <poll::Pollable F>
    auto run(F& f) {
        return h.block_on(f);
    }
    // Feeds chunks from another thread, one every gap.
    std::thread feed_later(std::vector<std::string> chunks, std::chrono::milliseconds gap) {
        return std::thread([this, chunks = std::move(chunks), gap] {
            for (const auto& c : chunks) {
                std::this_thread::sleep_for(gap);
                script->push_read(c);
            }
        });
    }

    Harness h;  // first: outlives every operation of a test
    std::shared_ptr<FakeScript> script = std::make_shared<FakeScript>();
    std::shared_ptr<port::PortCore> core = port::PortCore::create();
};

inline port::Settings timeouts(std::optional<Seconds> read, std::optional<Seconds> write = std::nullopt,
                               std::optional<Seconds> inter = std::nullopt) {
    port::Settings s;
    s.timeout = read;
    s.write_timeout = write;
    s.inter_byte_timeout = inter;
    return s;
}

}  // namespace marovenda::test
