#include "job/JobQueue.h"

#include <stdexcept>

#include "threads/Pool.h"

void JobQueue::QueueJob(iJobRow& row, std::uint8_t lowByte, std::uint8_t scaleExponent,
                        std::uint8_t thirdByte, float outputRate,
                        const ConversionSettings& settings, const OutputOptions& options) {
    const Audio::Format requested =
        Audio::Format::FromBytes(lowByte, scaleExponent, thirdByte, 0, outputRate);
    iJobRow* r = &row;
    row.SetStateText("queued");
    {
        std::lock_guard lock(mutex_);
        ++inside_;
    }
    ++activeJobs;
    try {
        if (!pool_) pool_ = &Threads::Pool::Instance();
        pool_->Submit(1, false, [this, r, requested, settings, options] {
            RunJob(*r, requested, settings, options);
        });
    } catch (...) {
        --activeJobs;
        std::lock_guard lock(mutex_);
        --inside_;
        throw;
    }
}

void JobQueue::RunJob(iJobRow& row, Audio::Format requested, const ConversionSettings& settings,
                      const OutputOptions& options) {
    row.state = JobState::Running;
    if (abortRequested) {
        row.state = JobState::Finished;  // the text stays "queued", no file is touched
    } else {
        try {
            Convert(row, requested, settings, options);
        } catch (...) {
            // Reporting itself failed (out of memory): the row still ends.
            row.state = JobState::Failed;
        }
    }
    std::lock_guard lock(mutex_);
    if (--activeJobs == 0) {
        claimed_.clear();
        abortRequested = false;
        if (onAllJobsEnded) onAllJobsEnded();
    }
    --inside_;
    left_.notify_all();
}

JobQueue::~JobQueue() {
    std::unique_lock lock(mutex_);
    left_.wait(lock, [this] { return inside_ == 0; });
}

void JobQueue::Convert(iJobRow& row, Audio::Format requested, const ConversionSettings& settings,
                       const OutputOptions& options) {
    row.SetStateText("");
    std::unique_ptr<Stream::iDrainProgress> progress;
    std::string failure;
    try {
        progress = row.MakeProgress(abortRequested);
        // Two inputs of one batch with one output name (take.wav and
        // take.wv) would leave only the later output under it, both "done":
        // the later one is refused instead.
        OutputOptions claiming = options;
        claiming.claim = [this, &row, &options](const std::string& output) {
            std::string owner;
            {
                std::lock_guard lock(mutex_);
                owner = claimed_.try_emplace(output, row.path.NativeText()).first->second;
            }
            if (owner != row.path.NativeText())
                throw std::runtime_error("output name already taken by " + owner);
            if (options.claim) options.claim(output);
        };
        std::vector<std::string> warnings;
        Filesystem::Path out =
            ConvertFile(row.path, requested, settings, progress.get(), claiming, &warnings);
        row.OnDone(out);
        std::string text = "done";
        for (std::size_t i = 0; i < warnings.size(); ++i) {
            row.OnWarning(warnings[i]);
            text += (i == 0 ? ", " : "; ") + warnings[i];
        }
        row.SetStateText(text);
        progress.reset();
        row.state = JobState::Finished;
        return;
    } catch (const std::exception& e) {
        failure = e.what();
        progress.reset();
        row.OnFailure(std::current_exception());
    } catch (...) {
        failure = "failed";
        progress.reset();
        row.OnFailure(std::current_exception());
    }
    row.state = JobState::Failed;
    row.SetStateText(failure);
}
