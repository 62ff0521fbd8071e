#pragma once

// The job list: one row per accepted input file with the columns "Filename", "State" and
// "Path", and a progress bar painted over the State cell of every running job.
//
// The model and its rows belong to the UI thread. Jobs on pool workers reach it only through
// posted closures (state texts, progress), which name their row by its id and look it up when
// they run, so work posted for a row that Clear has removed in the meantime is dropped.

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "job/FileAcceptance.h"
#include "job/JobQueue.h"

class JobListModel;
class UIThreadPoster;

// One row. Owned by the list; a job holds only a pointer to it and never outlives it (Clear keeps
// queued and running rows, and the dialog ends only after every job has ended).
class JobRow final : public iJobRow {
public:
    JobRow(Filesystem::Path path, std::uint64_t id, JobListModel& list)
        : iJobRow(std::move(path)), id(id), list_(list) {}

    void SetStateText(const std::string& text) override;  // any thread
    std::unique_ptr<JobProgress> MakeProgress(
        const std::atomic<bool>& abortRequested) override;
    void OnEnded(const JobRecord& record) override;  // any thread: the list keeps the record

    const std::uint64_t id;  // unique within the list, increasing in row order
    // The request the row's job was last submitted with (UI thread): Retry submits it again.
    ConversionRequest request;

private:
    JobListModel& list_;
};

// Drives the bar of one running job from its worker. Posts only; never blocks.
class ProgressBarPoster final : public JobProgress {
public:
    ProgressBarPoster(JobListModel& list, std::uint64_t rowId,
                      const std::atomic<bool>& abortRequested)
        : list_(list), rowId_(rowId), abortRequested_(abortRequested) {}
    ~ProgressBarPoster() override;  // hides the bar (a job that failed never called finished)

    // `done` of `total` units (0 total: unknown, shown as an empty bar). False, posting
    // nothing, once the abort is requested. The first report shows the bar.
    bool progress(std::uint32_t done, std::uint32_t total, bool first) override;
    void finished() override;  // hides the bar

private:
    JobListModel& list_;
    const std::uint64_t rowId_;
    const std::atomic<bool>& abortRequested_;
};

class JobListModel final : public QAbstractTableModel {
public:
    enum Column { kFilename = 0, kState = 1, kPath = 2, kColumns = 3 };
    // Fraction 0..1 of the bar to paint in the State cell; no value when no bar is shown (the
    // job is not running, or has not reported progress yet, or has finished).
    static constexpr int kBarRole = Qt::UserRole + 1;
    static constexpr int kJobStateRole = Qt::UserRole + 2;  // int value of JobState

    // What the status line says of the list, and of the batch `batch` how far it is: each of its
    // rows weighs its input's length (ended rows count whole, running ones by their bar).
    struct Summary {
        int done = 0;      // ended "done" (with or without warnings)
        int clipped = 0;   // of those, outputs that clipped or exceed 0 dBTP
        int existing = 0;  // ended "skipped": the output was there already
        int failed = 0;    // failed while running
        int aborted = 0;   // stopped by the user while running
        int left = 0;      // queued or running
        int skipped = 0;   // ended by an abort before they ran
        int inBatch = 0;
        double batchFraction = 0.0;  // 0..1; rows of the batch removed since count as ended
    };

    // Posted work goes through `poster`, which must stay attached only while this list lives.
    explicit JobListModel(UIThreadPoster& poster, QObject* parent = nullptr);
    ~JobListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // UI thread. Appends a row for `path` (State empty) belonging to batch `batch`.
    JobRow& AddRow(const Filesystem::Path& path, std::uint64_t batch = 0);
    // UI thread. Deletes every Failed or Finished row; returns how many went.
    int RemoveEndedRows();
    // UI thread. Deletes the Failed or Finished rows among `indices`; returns how many went.
    int RemoveEndedRows(std::vector<int> indices);
    // UI thread. True when row `index` ended failed or aborted, or was skipped by an abort.
    bool CanRetry(int index) const;
    // UI thread. Row `index` (CanRetry) back to Queued in batch `batch`, its text, record and
    // bar cleared; returns it for submitting again.
    JobRow& PrepareRetry(int index, std::uint64_t batch);
    // UI thread. The record of row `index` once its job has ended, or null.
    const JobRecord* RecordAt(int index) const;
    // UI thread. The State text of row `index` as the list shows it ("not run" for a row an
    // abort kept from running).
    QString StateTextAt(int index) const;
    Summary Summarize(std::uint64_t batch) const;
    // UI thread. The row at `index`, or null.
    JobRow* RowAt(int index) const;
    // UI thread. Index of the row with `id`, or -1 when it is gone.
    int IndexOf(std::uint64_t id) const;
    // UI thread. True when a Queued or Running row holds the same file: the same spelling, or
    // the same device and inode (another spelling, a link).
    bool IsQueuedOrRunning(const Filesystem::Path& path) const;

    // Any thread: sets the State text of `row` (at once on the UI thread, posted otherwise).
    void SetRowStateText(const JobRow& row, std::string text);
    // Any thread (posted): bar of row `id` at `done` of `total`; `show` makes it visible.
    void PostProgress(std::uint64_t id, std::uint32_t done, std::uint32_t total, bool show);
    // Any thread (posted): hides the bar of row `id`.
    void PostHideBar(std::uint64_t id);
    // Any thread: keeps the record of the ended job of `row` (at once on the UI thread, posted
    // otherwise; the text the queue sets after it arrives after it).
    void SetRowRecord(const JobRow& row, JobRecord record);

private:
    struct Entry {
        std::unique_ptr<JobRow> row;
        QString leaf;
        QString folder;
        QString stateText;
        bool barShown = false;
        std::uint32_t done = 0;
        std::uint32_t total = 1;
        std::optional<JobRecord> record;
        QString replacedBy;              // a later job's input, whose output replaced this one's
        std::optional<FileId> identity;  // of the input when added
        double weight = 1.0;             // input length, seconds (> 0)
        std::uint64_t batch = 0;
    };

    void ApplyStateText(std::uint64_t id, const QString& text);
    void ApplyRecord(std::uint64_t id, JobRecord record);
    void ApplyBar(std::uint64_t id, bool shown, std::uint32_t done, std::uint32_t total);
    void StateCellChanged(int index);
    void RemoveAt(int index);

    UIThreadPoster& poster_;
    std::vector<Entry> entries_;  // by increasing row id
    // Weight of the ended rows of batch `removedBatch_` (the newest one rows were removed of)
    // removed from the list.
    std::uint64_t removedBatch_ = 0;
    double removedWeight_ = 0.0;
    // The row that last wrote each output file (absolute, lexically normal name): a later job
    // writing it again replaced that row's file.
    std::unordered_map<std::string, std::uint64_t> lastWriter_;
    std::uint64_t nextId_ = 1;
};

// Paints the State cell's progress bar (kBarRole) inside the cell, 1 pixel in from each side.
class ProgressBarDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

// The job list's view: paints a hint to drop files or folders while the list is empty, and hands
// the Delete key to `onDelete`.
class JobListView final : public QTreeView {
public:
    using QTreeView::QTreeView;
    std::function<void()> onDelete;

    static QString PlaceholderText();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};
