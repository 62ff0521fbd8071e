#include "job/JobQueue.h"

#include <stdexcept>

#include "audio/io/FileWriter.h"
#include "threads/Pool.h"

OutputOptions OutputOptionsFor(const ConversionRequest& request) {
    OutputOptions o;
    switch (request.container) {
        case Container::Wave:
            o.writerId = Audio::IO::kWaveWriter;
            break;
        case Container::WavPack:
            o.writerId = Audio::IO::kWavpackWriter;
            break;
        case Container::Raw:
            o.writerId = Audio::IO::kRawWriter;
            break;
    }
    o.extension = ".";
    o.extension += ContainerName(request.container);
    o.directory = request.outputFolder;
    return o;
}

JobQueue::JobQueue(Threads::Pool* pool) : pool_(pool) {}

JobQueue::JobQueue(unsigned workers)
    : ownPool_(std::make_unique<Threads::Pool>(workers ? workers
                                                       : Threads::Pool::DefaultWorkerCount())),
      pool_(ownPool_.get()) {}

void JobQueue::Submit(iJobRow& row, const ConversionRequest& request) {
    try {
        Validate(request);
    } catch (const InvalidRequest&) {
        JobRecord record{row.path, std::nullopt, JobState::Failed,
                         DescribeFailure(std::current_exception()), {}};
        row.OnEnded(record);
        row.SetStateText(record.text);
        row.state = JobState::Failed;
        return;
    }
    iJobRow* r = &row;
    row.SetStateText("queued");
    {
        std::lock_guard lock(mutex_);
        ++inside_;
        ++activeJobs_;
    }
    try {
        if (!pool_) pool_ = &Threads::Pool::Instance();
        pool_->Submit(1, false, [this, r, request] { RunJob(*r, request); });
    } catch (...) {
        std::lock_guard lock(mutex_);
        --activeJobs_;
        --inside_;
        throw;
    }
}

void JobQueue::AbortAll() {
    // Under the lock: a request made while the last job is leaving would
    // otherwise outlive it and skip every job queued later.
    std::lock_guard lock(mutex_);
    if (activeJobs_ > 0) abortRequested_ = true;
}

bool JobQueue::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    auto idle = [this] { return activeJobs_ == 0; };
    if (timeout == std::chrono::milliseconds::max()) {
        idle_.wait(lock, idle);
        return true;
    }
    return idle_.wait_for(lock, timeout, idle);
}

void JobQueue::RunJob(iJobRow& row, const ConversionRequest& request) {
    row.state = JobState::Running;
    if (abortRequested_) {
        row.state = JobState::Finished;  // the text stays "queued", no file is touched
    } else {
        try {
            Convert(row, request);
        } catch (...) {
            // Reporting itself failed (out of memory): the row still ends.
            row.state = JobState::Failed;
        }
    }
    std::lock_guard lock(mutex_);
    if (--activeJobs_ == 0) {
        claimed_.clear();
        claimsMemory_.release();
        abortRequested_ = false;
        if (onAllJobsEnded) onAllJobsEnded();
        idle_.notify_all();
    }
    --inside_;
    left_.notify_all();
}

JobQueue::~JobQueue() {
    std::unique_lock lock(mutex_);
    left_.wait(lock, [this] { return inside_ == 0; });
}

void JobQueue::Convert(iJobRow& row, const ConversionRequest& request) {
    row.SetStateText("");
    std::unique_ptr<JobProgress> progress;
    JobRecord record{row.path, std::nullopt, JobState::Failed, {}, {}};
    try {
        progress = row.MakeProgress(abortRequested_);
        // Two inputs of one batch with one output name (take.wav and
        // take.wv) would leave only the later output under it, both "done":
        // the later one is refused instead.
        OutputOptions options = OutputOptionsFor(request);
        options.claim = [this, &row](const std::string& output) {
            std::string owner;
            {
                std::lock_guard lock(mutex_);
                const std::pmr::string key(output, &claimsMemory_);
                owner = claimed_.try_emplace(key, row.path.NativeText()).first->second;
            }
            if (owner != row.path.NativeText())
                throw std::runtime_error("output name already taken by " + owner);
        };
        const OutputFormatBytes f = SampleTypeEntry(request.sampleType).format;
        const Audio::Format requested =
            Audio::Format::FromBytes(f.lowByte, f.scaleExponent, f.thirdByte, 0, request.outputRate);
        record.output = ConvertFile(row.path, requested, request.settings, progress.get(), options,
                                    &record.warnings);
        record.state = JobState::Finished;
        record.text = "done";
        for (std::size_t i = 0; i < record.warnings.size(); ++i)
            record.text += (i == 0 ? ", " : "; ") + record.warnings[i];
    } catch (...) {
        record.text = DescribeFailure(std::current_exception());
    }
    progress.reset();
    row.OnEnded(record);
    row.SetStateText(record.text);
    row.state = record.state;
}
