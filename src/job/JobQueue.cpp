#include "job/JobQueue.h"

#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "audio/io/FileWriter.h"
#include "job/Batch.h"
#include "job/FileAcceptance.h"
#include "threads/Pool.h"

namespace {

// One text per output file however its name is spelt: its folder's identity, then its leaf.
std::string OutputKey(const std::string& output) {
    const std::size_t slash = output.rfind(Filesystem::Path::nativeSeparator);
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? output.substr(0, 1)
                                                          : output.substr(0, slash);
    const std::optional<FileId> id = IdentityOf(folder);
    if (!id) return output;
    const std::string leaf = slash == std::string::npos ? output : output.substr(slash + 1);
    return std::to_string(id->device) + ":" + std::to_string(id->inode) + "/" + leaf;
}

// Whether two names reach one file.
bool SameFile(const std::string& a, const std::string& b) {
    const std::optional<FileId> x = IdentityOf(a), y = IdentityOf(b);
    return x && y && *x == *y;
}

}  // namespace

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
        case Container::Aiff:
            o.writerId = Audio::IO::kAiffWriter;
            break;
        case Container::Flac:
            o.writerId = Audio::IO::kFlacWriter;
            break;
    }
    o.extension = ".";
    o.extension += ContainerName(request.container);
    o.directory = request.outputFolder;
    return o;
}

OutputOptions OutputOptionsFor(const ConversionRequest& request, const Filesystem::Path& input,
                               const std::optional<Filesystem::Path>& walkedFrom) {
    OutputOptions o = OutputOptionsFor(request);
    o.ifExists = request.ifExists;
    if (request.toStandardOutput) o.streamFd = STDOUT_FILENO;
    if (request.outputFolder && request.mirrorTree && walkedFrom) {
        o.directory = MirroredFolder(*request.outputFolder, *walkedFrom, input);
        o.createDirectory = true;
    }
    return o;
}

JobQueue::JobQueue(Threads::Pool* pool) : pool_(pool) {}

JobQueue::JobQueue(unsigned workers)
    : ownPool_(std::make_unique<Threads::Pool>(workers ? workers
                                                       : Threads::Pool::DefaultWorkerCount())),
      pool_(ownPool_.get()) {}

void JobQueue::EndFailed(iJobRow& row, std::exception_ptr e) {
    JobRecord record;
    record.input = row.path;
    record.state = JobState::Failed;
    record.text = DescribeFailure(e);
    row.OnEnded(record);
    row.SetStateText(record.text);
    row.state = JobState::Failed;
}

void JobQueue::Submit(iJobRow& row, const ConversionRequest& request) {
    try {
        Validate(request);
    } catch (const InvalidRequest&) {
        EndFailed(row, std::current_exception());
        return;
    }
    iJobRow* r = &row;
    row.SetStateText("queued");
    NoteInput(row.path);
    // The pool takes jobs first in, first out: a job waiting for earlier ones to claim never
    // waits for one that has not started.
    std::lock_guard order(submitMutex_);
    std::uint64_t number = 0;
    {
        std::lock_guard lock(mutex_);
        ++inside_;
        ++activeJobs_;
        number = submitted_++;
    }
    try {
        if (!pool_) pool_ = &Threads::Pool::Instance();
        pool_->Submit(1, false, [this, r, request, number] { RunJob(*r, request, number); });
    } catch (...) {
        std::lock_guard lock(mutex_);
        Settle(number);
        --activeJobs_;
        --inside_;
        throw;
    }
}

void JobQueue::NoteInput(const Filesystem::Path& input) {
    const std::string text = input.NativeText();
    const std::optional<FileId> id = IdentityOf(text);
    if (!id) return;
    std::lock_guard lock(mutex_);
    inputs_.try_emplace({id->device, id->inode}, std::pmr::string(text, &claimsMemory_));
}

void JobQueue::Settle(std::uint64_t number) {
    if (number < firstUnsettled_) return;
    settledAhead_.insert(number);
    while (!settledAhead_.empty() && *settledAhead_.begin() == firstUnsettled_) {
        settledAhead_.erase(settledAhead_.begin());
        ++firstUnsettled_;
    }
    settled_.notify_all();
}

void JobQueue::AbortAll() {
    // Under the lock: a request made while the last job is leaving would
    // otherwise outlive it and skip every job queued later.
    std::lock_guard lock(mutex_);
    if (activeJobs_ > 0) abortRequested_ = true;
    held_ = false;
    released_.notify_all();
}

void JobQueue::Hold(bool on) {
    std::lock_guard lock(mutex_);
    held_ = on;
    if (!on) released_.notify_all();
}

bool JobQueue::WaitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    auto idle = [this] { return activeJobs_ == 0 && openBatches_ == 0; };
    if (timeout == std::chrono::milliseconds::max()) {
        idle_.wait(lock, idle);
        return true;
    }
    return idle_.wait_for(lock, timeout, idle);
}

bool JobQueue::WaitJobsEnded(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] { return activeJobs_ == 0; });
}

void JobQueue::RunJob(iJobRow& row, const ConversionRequest& request, std::uint64_t number) {
    {
        std::unique_lock lock(mutex_);
        released_.wait(lock, [this] { return !held_; });
    }
    row.state = JobState::Running;
    if (abortRequested_) {
        row.state = JobState::Finished;  // the text stays "queued", no file is touched
    } else {
        try {
            Convert(row, request, number);
        } catch (...) {
            // Reporting itself failed (out of memory): the row still ends.
            row.state = JobState::Failed;
        }
    }
    std::lock_guard lock(mutex_);
    Settle(number);  // ended before its claim
    --activeJobs_;
    EndBatchIfIdle();
    --inside_;
    left_.notify_all();
}

void JobQueue::EndBatchIfIdle() {
    if (activeJobs_ != 0 || openBatches_ != 0) return;
    claimed_.clear();
    inputs_.clear();
    claimsMemory_.release();
    abortRequested_ = false;
    if (onAllJobsEnded) onAllJobsEnded();
    idle_.notify_all();
}

JobQueue::Batch::Batch(JobQueue& queue) : queue_(queue) {
    std::lock_guard lock(queue_.mutex_);
    ++queue_.openBatches_;
}

JobQueue::Batch::~Batch() {
    std::lock_guard lock(queue_.mutex_);
    --queue_.openBatches_;
    queue_.EndBatchIfIdle();
}

JobQueue::~JobQueue() {
    std::unique_lock lock(mutex_);
    held_ = false;
    released_.notify_all();
    left_.wait(lock, [this] { return inside_ == 0; });
}

void JobQueue::Convert(iJobRow& row, const ConversionRequest& request, std::uint64_t number) {
    row.SetStateText("");
    std::unique_ptr<JobProgress> progress;
    JobRecord record;
    record.input = row.path;
    record.state = JobState::Failed;
    record.figures.sampleType = SampleTypeName(request.sampleType);
    record.figures.container = ContainerName(request.container);
    const auto started = std::chrono::steady_clock::now();
    try {
        progress = row.MakeProgress(abortRequested_);
        // Two inputs of one batch with one output file (take.wav and
        // take.wv, or two spellings of a folder) would leave only the later
        // output, both "done": the one submitted later is refused instead.
        OutputOptions options = OutputOptionsFor(request, row.path, row.walkedFrom);
        // A worker left idle takes the first part of this job's chain, and gives it back as
        // soon as a queued task waits for a worker.
        Threads::Pool* pool = pool_;
        options.beside.launch = [pool](std::function<void()> task) {
            return pool->SubmitToIdle(1, std::move(task));
        };
        options.beside.wanted = [pool] { return pool->Queued() > pool->Idle(); };
        const bool replaces = options.ifExists == IfExists::Replace;
        options.claim = [this, &row, number, replaces](const std::string& output) {
            const std::string key = OutputKey(output);
            // An output that would replace a file of the batch's inputs: one that has not
            // been converted yet would then be read as this job's output.
            const std::optional<FileId> existing = replaces ? IdentityOf(output) : std::nullopt;
            std::pair<std::uint64_t, std::string> owner;
            {
                std::unique_lock lock(mutex_);
                if (existing) {
                    const auto input = inputs_.find({existing->device, existing->inode});
                    if (input != inputs_.end()) {
                        const std::string name(input->second);
                        Settle(number);
                        lock.unlock();
                        throw std::runtime_error("the output would replace " + name +
                                                 ", an input of this batch");
                    }
                }
                // A later pass of the same job (a lowered gain, a new name) is past the wait.
                settled_.wait(lock, [&] { return firstUnsettled_ >= number; });
                auto& claim =
                    claimed_
                        .try_emplace(std::pmr::string(key, &claimsMemory_), number,
                                     std::pmr::string(row.path.NativeText(), &claimsMemory_))
                        .first->second;
                // The same input added again while its batch runs (under any spelling) makes
                // the same output again.
                if (claim.first != number &&
                    (std::string_view(claim.second) == row.path.NativeText() ||
                     SameFile(std::string(claim.second), row.path.NativeText())))
                    claim.first = number;
                owner = {claim.first, std::string(claim.second)};
                Settle(number);
            }
            if (owner.first != number)
                throw std::runtime_error("output name already taken by " + owner.second);
        };
        const OutputFormatBytes f = SampleTypeEntry(request.sampleType).format;
        const Audio::Format requested =
            Audio::Format::FromBytes(f.lowByte, f.scaleExponent, f.thirdByte, 0, request.outputRate);
        PeakFigures peaks;
        record.output = ConvertFile(row.path, requested, request.settings, progress.get(), options,
                                    &record.warnings, &record.figures, &peaks);
        record.peaks = peaks;
        record.state = JobState::Finished;
        record.text = "done";
        if (peaks.worthTelling()) record.text += ", " + DescribePeaks(peaks);
        for (std::size_t i = 0; i < record.warnings.size(); ++i)
            record.text += (i == 0 && !peaks.worthTelling() ? ", " : "; ") + record.warnings[i];
    } catch (const OutputExists& e) {
        record.output = e.output;
        record.state = JobState::Finished;
        record.text = "skipped";
        record.skipped = true;
    } catch (const ClippedOutput& clipped) {
        record.peaks = clipped.peaks;
        record.text = clipped.what();
    } catch (...) {
        record.text = DescribeFailure(std::current_exception());
    }
    record.figures.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    progress.reset();
    row.OnEnded(record);
    row.SetStateText(record.text);
    row.state = record.state;
}
