#include "UiTestSupport.h"

#include <cmath>
#include <fstream>
#include <numbers>
#include <vector>

#include "threads/Pool.h"

namespace UiTest {

namespace {

void PutLE(std::vector<char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

bool WriteSineWav(const std::string& path, double seconds, std::uint32_t rate,
                  std::uint16_t channels) {
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    const std::uint32_t dataBytes = frames * channels * 2u;
    std::vector<char> bytes;
    bytes.reserve(44 + dataBytes);
    bytes.insert(bytes.end(), {'R', 'I', 'F', 'F'});
    PutLE(bytes, 36 + dataBytes, 4);
    bytes.insert(bytes.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLE(bytes, 16, 4);
    PutLE(bytes, 1, 2);  // PCM
    PutLE(bytes, channels, 2);
    PutLE(bytes, rate, 4);
    PutLE(bytes, rate * channels * 2u, 4);
    PutLE(bytes, channels * 2u, 2);
    PutLE(bytes, 16, 2);
    bytes.insert(bytes.end(), {'d', 'a', 't', 'a'});
    PutLE(bytes, dataBytes, 4);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (std::uint16_t c = 0; c < channels; ++c) {
            const double f = c == 0 ? 440.0 : 660.0;
            const auto s = static_cast<std::int16_t>(
                std::lround(0.5 * 32767 * std::sin(2 * std::numbers::pi * f * t)));
            PutLE(bytes, static_cast<std::uint16_t>(s), 2);
        }
    }
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

PoolBlocker::PoolBlocker() : state_(std::make_shared<State>()) {
    Threads::Pool& pool = Threads::Pool::Instance();
    const std::uint32_t workers = pool.Workers();
    for (std::uint32_t i = 0; i < workers; ++i) {
        pool.Submit(1, false, [state = state_] {
            std::unique_lock lock(state->mutex);
            ++state->held;
            state->changed.notify_all();
            state->changed.wait(lock, [&] { return state->released; });
        });
    }
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [&] { return state_->held == workers; });
}

PoolBlocker::~PoolBlocker() {
    Release();
}

void PoolBlocker::Release() {
    std::lock_guard lock(state_->mutex);
    state_->released = true;
    state_->changed.notify_all();
}

}  // namespace UiTest
