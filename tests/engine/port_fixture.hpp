// A port core over the loopback or the scripted device, with a harness to run
// its operations.
#pragma once

#include <thread>

#include "engine_harness.hpp"
#include "fake_device.hpp"
#include "port/port.hpp"

namespace marovenda::test {

class PortTest : public ::testing::Test {
protected:
    void open_loop(port::Settings s = {}) {
        {
            auto st = core->lock_state();
            st->port = "loop://";
            st->settings = s;
        }
        ASSERT_TRUE(core->open().ok());
    }
    // Puts the scripted device in the slot, as an open would.
    void open_fake(port::Settings s = {}) {
        core->lock_state()->settings = s;
        core->lock_state()->port = "/dev/fake";
        *core->lock_backend() = std::make_unique<FakeDevice>(script);
    }
    void feed(const std::string& bytes) {
        auto w = port::PortCore::write(core, bytes, port::PortCore::WriteLimit::None);
        auto r = h.block_on(w);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r.value(), bytes.size());
    }
    template <class T>
    T run(poll::Task<T>& t) {
        return h.block_on(t);
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
