#include "job/JobQueue.h"

#include "threads/Pool.h"

void JobQueue::QueueJob(iJobRow& row, std::uint8_t lowByte, std::uint8_t scaleExponent,
                        std::uint8_t thirdByte, float outputRate, const ConversionSettings& settings,
                        const OutputOptions& options) {
    const Audio::Format requested =
        Audio::Format::FromBytes(lowByte, scaleExponent, thirdByte, 0, outputRate);
    iJobRow* r = &row;
    row.SetStateText("queued");
    ++activeJobs;
    if (!pool_) pool_ = &Threads::Pool::Instance();
    pool_->Submit(1, false, [this, r, requested, settings, options] {
        RunJob(*r, requested, settings, options);
    });
}

void JobQueue::RunJob(iJobRow& row, Audio::Format requested, const ConversionSettings& settings,
                      const OutputOptions& options) {
    row.state = JobState::Running;
    if (abortRequested) {
        row.state = JobState::Finished;  // the text stays "queued", no file is touched
    } else {
        row.SetStateText("");
        std::unique_ptr<Stream::iDrainProgress> progress;
        try {
            progress = row.MakeProgress(abortRequested);
            Filesystem::Path out = ConvertFile(row.path, requested, settings, progress.get(), options);
            row.OnDone(out);
            row.SetStateText("done");
            progress.reset();
            row.state = JobState::Finished;
        } catch (const std::exception& e) {
            progress.reset();
            row.state = JobState::Failed;
            row.OnFailure(std::current_exception());
            row.SetStateText(e.what());
        } catch (...) {
            progress.reset();
            row.state = JobState::Failed;
            row.OnFailure(std::current_exception());
            row.SetStateText("failed");
        }
    }
    if (--activeJobs == 0) {
        abortRequested = false;
        if (onAllJobsEnded) onAllJobsEnded();
    }
}
