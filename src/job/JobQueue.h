#pragma once

// The job queue: turns rows into conversion jobs on the thread pool, keeps
// the count of unfinished jobs and the abort request, and turns each job's
// outcome into its row's state and State text. Free of any window toolkit:
// the dialog's list and the command-line tool each implement iJobRow.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "filesystem/Path.h"
#include "job/Conversion.h"
#include "job/Outcome.h"
#include "job/Request.h"
#include "stream/Drain.h"

namespace Threads {
class Pool;
}

// Progress of one running job: progress() answers false to stop the job.
using JobProgress = Stream::iDrainProgress;

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
    virtual std::unique_ptr<JobProgress> MakeProgress(const std::atomic<bool>& abortRequested) = 0;
    // The job ended (done or failed; a skipped queued job does not end
    // here). Called on the worker, before `state` and the text are set.
    virtual void OnEnded(const JobRecord&) {}

    const Filesystem::Path path;
    // The folder the file was found in by a walk (set before Submit): with an output folder and
    // ConversionRequest::mirrorTree, the output goes to the same sub-folder below the output
    // folder as the input is below this one.
    std::optional<Filesystem::Path> walkedFrom;
    std::atomic<JobState> state{JobState::Queued};
};

// Where a request's outputs go and in which container.
OutputOptions OutputOptionsFor(const ConversionRequest& request);
// The same for one input: with mirrorTree, below the output folder in the sub-folder that
// `input` has below `walkedFrom`; and what to do with an output that exists, and with a stream.
OutputOptions OutputOptionsFor(const ConversionRequest& request, const Filesystem::Path& input,
                               const std::optional<Filesystem::Path>& walkedFrom);

class JobQueue {
public:
    // `pool` null: the process-wide pool, created on the first Submit
    // (which must then run on the main thread).
    explicit JobQueue(Threads::Pool* pool = nullptr);
    // A queue with a pool of its own of `workers` workers (0: as many as the
    // machine has threads, at least two).
    explicit JobQueue(unsigned workers);
    // Waits until every queued job has ended and left RunJob, so that no
    // worker touches the queue (or its callback's captures) afterwards.
    ~JobQueue();
    JobQueue(const JobQueue&) = delete;
    JobQueue& operator=(const JobQueue&) = delete;

    // Validates the request (InvalidRequest ends the row "failed" with its
    // reason, nothing is queued), shows "queued" and submits the job with a
    // copy of the request. Throws only when no worker could take it.
    //
    // Jobs claim their output names in the order they were submitted: of
    // two jobs of one batch whose outputs are one file (under any spelling)
    // the one submitted first writes it and the other fails with "output
    // name already taken by <input>", however the workers run. A job whose
    // output would replace an input of the batch (a file named as an output
    // is) fails with "the output would replace <input>, an input of this
    // batch", whichever runs first.
    void Submit(iJobRow& row, const ConversionRequest& request);
    // Ends `row` "failed" with the reason `e` gives, without running it (a request that did not
    // validate, or no worker to take it).
    static void EndFailed(iJobRow& row, std::exception_ptr e);
    // Notes `input` as an input of the batch before its job is submitted (Submit notes it as
    // well): a front end that submits many files notes them all first, so that no job that
    // starts meanwhile replaces one of them. Forgotten when the batch ends.
    void NoteInput(const Filesystem::Path& input);
    // Running jobs stop ("aborted"), queued ones end without running (their
    // text stays "queued"). Nothing happens while no job is active. Ends a hold.
    void AbortAll();
    // While held, no queued job starts (running ones go on): a front end holds the queue while
    // it asks whether to abort, so that the answer finds the queued jobs it asked about.
    void Hold(bool on);
    // Blocks until no job is active and no Batch is open, or for at most `timeout`; true when
    // idle.
    bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
    // Blocks for at most `timeout` until no job is active, whatever Batch is open (one held by
    // the caller further up its stack, while it asks the user something); true when none is.
    bool WaitJobsEnded(std::chrono::milliseconds timeout);

    std::int32_t ActiveJobs() const { return activeJobs_; }  // queued plus running
    bool AbortRequested() const { return abortRequested_; }

    // Jobs submitted while a Batch lives are one batch, even when the first
    // end before the last are submitted: an output name one of them took
    // stays taken for the others. The queue is not idle while one lives.
    class Batch {
    public:
        explicit Batch(JobQueue& queue);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        JobQueue& queue_;
    };

    // Called on the worker that ended the last job (or where the last Batch
    // ended, if that came later), after the abort request was cleared, with
    // the queue's lock held: it must not call into the queue.
    std::function<void()> onAllJobsEnded;

private:
    void RunJob(iJobRow& row, const ConversionRequest& request, std::uint64_t number);
    void Convert(iJobRow& row, const ConversionRequest& request, std::uint64_t number);
    // Job `number` has claimed its output name or ended; under mutex_.
    void Settle(std::uint64_t number);
    // Ends the batch when no job is active and no Batch lives; under mutex_.
    void EndBatchIfIdle();

    std::unique_ptr<Threads::Pool> ownPool_;
    Threads::Pool* pool_;
    std::atomic<std::int32_t> activeJobs_{0};
    std::atomic<bool> abortRequested_{false};
    std::mutex mutex_;
    std::condition_variable left_, idle_;
    std::int32_t inside_ = 0;  // jobs queued and not yet out of RunJob; under mutex_
    bool held_ = false;        // Hold; under mutex_
    std::condition_variable released_;
    std::int32_t openBatches_ = 0;  // Batch objects alive; under mutex_
    // Output file (OutputKey) -> number and input of the job writing it, while jobs are active;
    // under mutex_. Workers add to it and it lives for the whole batch: its memory comes from a
    // pool of its own, since small long-lived blocks that workers leave among each job's freed
    // memory keep the allocator from reusing it (a batch of 5000 small files grew to 200 MB).
    std::pmr::unsynchronized_pool_resource claimsMemory_;
    std::pmr::map<std::pmr::string, std::pair<std::uint64_t, std::pmr::string>> claimed_{
        &claimsMemory_};
    // Input files of the batch (device, inode) -> their names; under mutex_, kept as claimed_.
    std::pmr::map<std::pair<std::uint64_t, std::uint64_t>, std::pmr::string> inputs_{
        &claimsMemory_};
    // Jobs are numbered as submitted; a job claims once every earlier one has settled. Under
    // mutex_, but submitMutex_ keeps numbering and queueing in one order.
    std::mutex submitMutex_;
    std::uint64_t submitted_ = 0;
    std::uint64_t firstUnsettled_ = 0;
    std::pmr::set<std::uint64_t> settledAhead_{&claimsMemory_};  // settled after firstUnsettled_
    std::condition_variable settled_;
};
