#include "UiTestSupport.h"

#include <cmath>
#include <filesystem>
#include <numbers>

#include "support/WavFiles.h"
#include "threads/Pool.h"

namespace UiTest {

bool WriteSineWav(const std::string& path, double seconds, std::uint32_t rate,
                  std::uint16_t channels) {
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    TestSupport::writeWav16(path, rate, channels, frames, [rate](std::uint16_t c, std::uint32_t i) {
        const double t = static_cast<double>(i) / rate, f = c == 0 ? 440.0 : 660.0;
        return static_cast<std::int16_t>(
            std::lround(0.5 * 32767 * std::sin(2 * std::numbers::pi * f * t)));
    });
    return std::filesystem::file_size(path) == 44 + std::uint64_t{frames} * channels * 2;
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
