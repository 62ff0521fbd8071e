#pragma once

// The job list: one row per accepted input file with the columns "Filename", "State" and
// "Path", and a progress bar painted over the State cell of every running job.
//
// The model and its rows belong to the UI thread. Jobs on pool workers reach it only through
// posted closures (state texts, progress), which name their row by its id and look it up when
// they run, so work posted for a row that Clear has removed in the meantime is dropped.

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

    const std::uint64_t id;  // unique within the list, increasing in row order

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

    // Posted work goes through `poster`, which must stay attached only while this list lives.
    explicit JobListModel(UIThreadPoster& poster, QObject* parent = nullptr);
    ~JobListModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // UI thread. Appends a row for `path` (State empty) and returns it.
    JobRow& AddRow(const Filesystem::Path& path);
    // UI thread. Deletes every Failed or Finished row; returns how many went.
    int RemoveEndedRows();
    // UI thread. The row at `index`, or null.
    JobRow* RowAt(int index) const;
    // UI thread. Index of the row with `id`, or -1 when it is gone.
    int IndexOf(std::uint64_t id) const;
    // UI thread. True when a Queued or Running row holds the same file.
    bool IsQueuedOrRunning(const Filesystem::Path& path) const;

    // Any thread: sets the State text of `row` (at once on the UI thread, posted otherwise).
    void SetRowStateText(const JobRow& row, std::string text);
    // Any thread (posted): bar of row `id` at `done` of `total`; `show` makes it visible.
    void PostProgress(std::uint64_t id, std::uint32_t done, std::uint32_t total, bool show);
    // Any thread (posted): hides the bar of row `id`.
    void PostHideBar(std::uint64_t id);

private:
    struct Entry {
        std::unique_ptr<JobRow> row;
        QString leaf;
        QString folder;
        QString stateText;
        bool barShown = false;
        std::uint32_t done = 0;
        std::uint32_t total = 1;
    };

    void ApplyStateText(std::uint64_t id, const QString& text);
    void ApplyBar(std::uint64_t id, bool shown, std::uint32_t done, std::uint32_t total);
    void StateCellChanged(int index);

    UIThreadPoster& poster_;
    std::vector<Entry> entries_;  // by increasing row id
    std::uint64_t nextId_ = 1;
};

// Paints the State cell's progress bar (kBarRole) inside the cell, 1 pixel in from each side.
class ProgressBarDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};
