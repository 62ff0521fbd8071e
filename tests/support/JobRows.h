#pragma once

// A job-list row for tests: keeps its State text; its progress answers
// false once the queue asks the jobs to stop. Its job starts after
// `startDelay`.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "job/JobQueue.h"

namespace TestSupport {

class TestRow final : public iJobRow {
public:
    using iJobRow::iJobRow;
    void SetStateText(const std::string& t) override {
        std::lock_guard l(m_);
        text_ = t;
    }
    std::unique_ptr<JobProgress> MakeProgress(const std::atomic<bool>& abort) override {
        std::this_thread::sleep_for(startDelay);
        struct P final : JobProgress {
            explicit P(const std::atomic<bool>& a) : abort(a) {}
            bool progress(std::uint32_t, std::uint32_t, bool) override { return !abort; }
            void finished() override {}
            const std::atomic<bool>& abort;
        };
        return std::make_unique<P>(abort);
    }
    std::string text() {
        std::lock_guard l(m_);
        return text_;
    }
    std::chrono::milliseconds startDelay{0};

private:
    std::mutex m_;
    std::string text_;
};

}  // namespace TestSupport
