#pragma once

// The job queue: turns rows into conversion jobs on the thread pool, keeps
// the count of unfinished jobs and the abort request, and turns each job's
// outcome into its row's state and State text. Free of any window toolkit:
// the dialog's list and the command-line tool each implement iJobRow.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "audio/format/Format.h"
#include "filesystem/Path.h"
#include "job/Conversion.h"
#include "job/ConversionSettings.h"
#include "stream/Drain.h"

namespace Threads {
class Pool;
}

enum class JobState : std::int32_t { Queued = 0, Running = 1, Failed = 2, Finished = 3 };

// One row of the job list as the queue sees it. Owned by the list; a job
// holds only a pointer to it and never outlives it.
class iJobRow {
public:
    explicit iJobRow(Filesystem::Path p) : path(std::move(p)) {}
    virtual ~iJobRow() = default;

    // Sets the State text; called from any thread.
    virtual void SetStateText(const std::string& text) = 0;
    // The progress receiver of the running job (called on the worker). It
    // must answer false once `abortRequested` is set.
    virtual std::unique_ptr<Stream::iDrainProgress> MakeProgress(
        const std::atomic<bool>& abortRequested) = 0;
    // The exception a failed job ended with, before its text is set.
    virtual void OnFailure(std::exception_ptr) {}
    // The output file of a job that ended "done".
    virtual void OnDone(const Filesystem::Path&) {}
    // Each warning of a job that ended "done", before its text is set (the
    // text carries them too: "done, <warning>; <warning>").
    virtual void OnWarning(const std::string&) {}

    const Filesystem::Path path;
    std::atomic<JobState> state{JobState::Queued};
};

class JobQueue {
public:
    // `pool` null: the process-wide pool, created on the first QueueJob
    // (which must then run on the main thread).
    explicit JobQueue(Threads::Pool* pool = nullptr) : pool_(pool) {}
    // Waits until every queued job has ended and left RunJob, so that no
    // worker touches the queue (or its callback's captures) afterwards.
    ~JobQueue();
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;

    // Captures the request and a copy of the settings, shows "queued" and
    // submits the job at priority 1.
    void QueueJob(iJobRow& row, std::uint8_t lowByte, std::uint8_t scaleExponent,
                  std::uint8_t thirdByte, float outputRate, const ConversionSettings& settings,
                  const OutputOptions& options = {});
    // The job body, run on a worker. Never throws.
    void RunJob(iJobRow& row, Audio::Format requested, const ConversionSettings& settings,
                const OutputOptions& options);

    void RequestAbort() { abortRequested = true; }

    std::atomic<std::int32_t> activeJobs{0};  // queued plus running
    std::atomic<bool> abortRequested{false};
    // Called on the worker that ended the last job, after the abort request
    // was cleared, with the queue's lock held: it must not call into the queue.
    std::function<void()> onAllJobsEnded;

private:
    void Convert(iJobRow& row, Audio::Format requested, const ConversionSettings& settings,
                 const OutputOptions& options);

    Threads::Pool* pool_;
    std::mutex mutex_;
    std::condition_variable left_;
    std::int32_t inside_ = 0;  // jobs queued and not yet out of RunJob; under mutex_
    // Output name -> input of the job writing it, while jobs are active; under mutex_.
    std::map<std::string, std::string> claimed_;
};
