#include "ui/JobList.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "job/InputReport.h"
#include "ui/UIThreadPoster.h"

namespace {

constexpr int kBarSteps = 10000;  // resolution of the painted bar
constexpr double kCdBytesPerSecond = 44100.0 * 4;  // 16-bit stereo

bool IsRunning(const iJobRow& row) {
    return row.state.load() == JobState::Running;
}

bool HasEnded(JobState s) {
    return s == JobState::Failed || s == JobState::Finished;
}

// A job stopped by the user is not a failure of the file: no error icon.
bool WasAborted(const JobRecord& record) {
    return record.state == JobState::Failed && record.text == "aborted";
}

// An output whose peaks the user must be told of: samples clipped, overs, a true peak above
// full scale (the row's warning icon).
bool PeaksToTell(const JobRecord& record) {
    return record.state == JobState::Finished && !record.skipped && record.peaks &&
           record.peaks->worthTelling();
}

// An output in which quantisation clipped samples (what its text calls "clipped").
bool Clipped(const JobRecord& record) {
    return PeaksToTell(record) && record.peaks->clampedSamples > 0;
}

// Ended by an abort before it ran: its text stays the queue's "queued".
bool NotRun(const iJobRow& row, const std::optional<JobRecord>& record, const QString& text) {
    return !record && HasEnded(row.state.load()) && text == QStringLiteral("queued");
}

}  // namespace

void JobRow::SetStateText(const std::string& text) {
    list_.SetRowStateText(*this, text);
}

void JobRow::OnEnded(const JobRecord& record) {
    list_.SetRowRecord(*this, record);
}

std::unique_ptr<JobProgress> JobRow::MakeProgress(
    const std::atomic<bool>& abortRequested) {
    return std::make_unique<ProgressBarPoster>(list_, id, abortRequested);
}

ProgressBarPoster::~ProgressBarPoster() {
    list_.PostHideBar(rowId_);
}

bool ProgressBarPoster::progress(std::uint32_t done, std::uint32_t total, bool first) {
    if (abortRequested_) return false;
    if (total == 0)
        list_.PostProgress(rowId_, 0, 1, first);
    else
        list_.PostProgress(rowId_, done, total, first);
    return true;
}

void ProgressBarPoster::finished() {
    list_.PostHideBar(rowId_);
}

JobListModel::JobListModel(UIThreadPoster& poster, QObject* parent)
    : QAbstractTableModel(parent), poster_(poster) {}

JobListModel::~JobListModel() = default;

int JobListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int JobListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant JobListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Entry& e = entries_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case kFilename:
                    return e.leaf;
                case kState:
                    return StateTextAt(index.row());
                case kPath:
                    return e.folder;
                default:
                    return {};
            }
        case Qt::ToolTipRole:
            switch (index.column()) {
                case kFilename:
                    return e.folder + e.leaf;
                case kState: {
                    // A job that failed or was aborted tells its warnings here (a partial
                    // output left behind); a done one has them in its text.
                    QString tip = StateTextAt(index.row());
                    if (e.record && e.record->state != JobState::Finished)
                        for (const std::string& w : e.record->warnings)
                            tip += QStringLiteral("\nwarning: ") + QString::fromStdString(w);
                    return tip;
                }
                case kPath:
                    return e.folder;
                default:
                    return {};
            }
        case Qt::AccessibleTextRole:
            if (index.column() == kState) {
                const QVariant bar = data(index, kBarRole);
                if (bar.isValid())
                    return QStringLiteral("running, %1%").arg(std::lround(bar.toDouble() * 100));
                return StateTextAt(index.row());
            }
            return data(index, Qt::DisplayRole);
        case Qt::DecorationRole: {
            if (index.column() != kState || !e.record) return {};
            QStyle* style = QApplication::style();
            if (e.record->state == JobState::Failed && !WasAborted(*e.record))
                return style->standardIcon(QStyle::SP_MessageBoxCritical);
            if (e.record->state == JobState::Finished &&
                (!e.record->warnings.empty() || PeaksToTell(*e.record) || !e.replacedBy.isEmpty()))
                return style->standardIcon(QStyle::SP_MessageBoxWarning);
            return {};
        }
        case kBarRole:
            if (index.column() != kState || !e.barShown || !IsRunning(*e.row)) return {};
            return static_cast<double>(e.done) / static_cast<double>(e.total);
        case kJobStateRole:
            return static_cast<int>(e.row->state.load());
        default:
            return {};
    }
}

QVariant JobListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case kFilename:
            return QStringLiteral("Filename");
        case kState:
            return QStringLiteral("State");
        case kPath:
            return QStringLiteral("Path");
        default:
            return {};
    }
}

JobRow& JobListModel::AddRow(const Filesystem::Path& path, std::uint64_t batch) {
    Entry e;
    e.row = std::make_unique<JobRow>(path, nextId_++, *this);
    e.leaf = QString::fromStdString(path.Leaf());
    e.folder = QString::fromStdString(path.Parent().ToString('/'));
    const std::string native = path.NativeText();
    e.identity = IdentityOf(native);
    // Weighed by its length; a file whose header says none counts its size at the CD rate.
    const std::optional<double> seconds = InputSeconds(path);
    e.weight = std::max(1e-3, seconds ? *seconds
                                      : static_cast<double>(
                                            QFileInfo(QString::fromLocal8Bit(native)).size()) /
                                            kCdBytesPerSecond);
    e.batch = batch;
    const int index = rowCount();
    beginInsertRows({}, index, index);
    entries_.push_back(std::move(e));
    endInsertRows();
    return *entries_.back().row;
}

int JobListModel::RemoveEndedRows() {
    std::vector<int> all(entries_.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    return RemoveEndedRows(std::move(all));
}

int JobListModel::RemoveEndedRows(std::vector<int> indices) {
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    int removed = 0;
    for (auto it = indices.rbegin(); it != indices.rend(); ++it) {
        const int i = *it;
        if (i < 0 || i >= rowCount()) continue;
        if (!HasEnded(entries_[static_cast<std::size_t>(i)].row->state.load())) continue;
        RemoveAt(i);
        ++removed;
    }
    return removed;
}

void JobListModel::RemoveAt(int index) {
    // An ended row of the batch still counts in its progress. Only the newest batch's
    // progress is shown: rows of earlier ones, cleared with it, leave its count alone.
    const Entry& e = entries_[static_cast<std::size_t>(index)];
    if (e.batch > removedBatch_) removedBatch_ = e.batch, removedWeight_ = 0.0;
    if (e.batch == removedBatch_) removedWeight_ += e.weight;
    beginRemoveRows({}, index, index);
    entries_.erase(entries_.begin() + index);
    endRemoveRows();
}

bool JobListModel::CanRetry(int index) const {
    if (index < 0 || index >= rowCount()) return false;
    const Entry& e = entries_[static_cast<std::size_t>(index)];
    if (e.record) return e.record->state == JobState::Failed;
    // Skipped by an abort: ended without running, its text still "queued". A job that ran has
    // cleared that text, and its record is on its way.
    return e.row->state.load() == JobState::Finished && e.stateText == QStringLiteral("queued");
}

JobRow& JobListModel::PrepareRetry(int index, std::uint64_t batch) {
    Entry& e = entries_.at(static_cast<std::size_t>(index));
    e.record.reset();
    e.stateText.clear();
    e.barShown = false;
    e.done = 0;
    e.total = 1;
    e.batch = batch;
    e.row->state = JobState::Queued;
    emit dataChanged(this->index(index, 0), this->index(index, kColumns - 1));
    return *e.row;
}

const JobRecord* JobListModel::RecordAt(int index) const {
    if (index < 0 || index >= rowCount()) return nullptr;
    const Entry& e = entries_[static_cast<std::size_t>(index)];
    return e.record ? &*e.record : nullptr;
}

QString JobListModel::StateTextAt(int index) const {
    if (index < 0 || index >= rowCount()) return {};
    const Entry& e = entries_[static_cast<std::size_t>(index)];
    if (NotRun(*e.row, e.record, e.stateText)) return QStringLiteral("not run");
    if (!e.replacedBy.isEmpty())
        return e.stateText + QStringLiteral("; its output was then replaced by that of ") +
               e.replacedBy;
    return e.stateText;
}

JobListModel::Summary JobListModel::Summarize(std::uint64_t batch) const {
    Summary s;
    double weight = 0.0, reached = 0.0;
    for (const Entry& e : entries_) {
        const JobState state = e.row->state.load();
        double fraction = 0.0;
        if (e.record) {
            if (e.record->skipped)
                ++s.existing;
            else if (e.record->state == JobState::Finished)
                ++s.done, s.clipped += Clipped(*e.record) ? 1 : 0;
            else
                ++(WasAborted(*e.record) ? s.aborted : s.failed);
            fraction = 1.0;
        } else if (HasEnded(state)) {
            // Without a record: skipped by an abort, or its record is still on its way.
            ++(NotRun(*e.row, e.record, e.stateText) ? s.skipped : s.left);
            fraction = 1.0;
        } else {
            ++s.left;
            // What it reached, also once its bar is hidden while its file is stored.
            if (state == JobState::Running)
                fraction = static_cast<double>(e.done) / static_cast<double>(e.total);
        }
        if (e.batch != batch) continue;
        ++s.inBatch;
        weight += e.weight;
        reached += e.weight * fraction;
    }
    if (removedBatch_ == batch) weight += removedWeight_, reached += removedWeight_;
    s.batchFraction = weight > 0.0 ? std::clamp(reached / weight, 0.0, 1.0) : 0.0;
    return s;
}

JobRow* JobListModel::RowAt(int index) const {
    if (index < 0 || index >= rowCount()) return nullptr;
    return entries_[static_cast<std::size_t>(index)].row.get();
}

int JobListModel::IndexOf(std::uint64_t id) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                                     [](const Entry& e, std::uint64_t v) { return e.row->id < v; });
    if (it == entries_.end() || it->row->id != id) return -1;
    return static_cast<int>(it - entries_.begin());
}

bool JobListModel::IsQueuedOrRunning(const Filesystem::Path& path) const {
    std::vector<RowPathState> rows;
    rows.reserve(entries_.size());
    for (const Entry& e : entries_)
        rows.push_back({&e.row->path, static_cast<std::int32_t>(e.row->state.load())});
    if (::IsQueuedOrRunning(path, rows)) return true;
    const std::optional<FileId> identity = IdentityOf(path.NativeText());
    if (!identity) return false;
    return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
        const JobState s = e.row->state.load();
        return (s == JobState::Queued || s == JobState::Running) && e.identity == identity;
    });
}

void JobListModel::SetRowRecord(const JobRow& row, JobRecord record) {
    const std::uint64_t id = row.id;
    if (QThread::currentThread() == thread()) {
        ApplyRecord(id, std::move(record));
        return;
    }
    poster_.Post([this, id, record = std::move(record)]() mutable {
        ApplyRecord(id, std::move(record));
    });
}

void JobListModel::ApplyRecord(std::uint64_t id, JobRecord record) {
    const int index = IndexOf(id);
    if (index < 0) return;
    // A later job that wrote the same output (Replace) replaced the file of the row that
    // wrote it before: that row, which said "done" of it, says so too. Names compare absolute
    // and lexically normal ("a/x.wav" and "/home/u/a/x.wav" are one).
    if (record.state == JobState::Finished && !record.skipped && record.output) {
        std::error_code error;
        const std::string text = record.output->NativeText();
        const std::filesystem::path absolute = std::filesystem::absolute(text, error);
        const std::string key =
            (error ? std::filesystem::path(text) : absolute).lexically_normal().string();
        const auto [writer, first] = lastWriter_.try_emplace(key, id);
        const int other = first || writer->second == id ? -1 : IndexOf(writer->second);
        if (other >= 0) {
            Entry& e = entries_[static_cast<std::size_t>(other)];
            if (e.record && e.record->state == JobState::Finished && !e.record->skipped) {
                e.replacedBy =
                    QFile::decodeName(QByteArray::fromStdString(record.input.NativeText()));
                StateCellChanged(other);
            }
        }
        writer->second = id;
    }
    Entry& e = entries_[static_cast<std::size_t>(index)];
    e.record = std::move(record);
    e.replacedBy.clear();
    StateCellChanged(index);
}

void JobListModel::SetRowStateText(const JobRow& row, std::string text) {
    const std::uint64_t id = row.id;
    if (QThread::currentThread() == thread()) {
        ApplyStateText(id, QString::fromStdString(text));
        return;
    }
    // The row may be gone when this runs: it is found by id, not by pointer.
    poster_.Post(
        [this, id, text = std::move(text)] { ApplyStateText(id, QString::fromStdString(text)); });
}

void JobListModel::PostProgress(std::uint64_t id, std::uint32_t done, std::uint32_t total,
                                bool show) {
    poster_.Post([this, id, done, total, show] {
        const int index = IndexOf(id);
        if (index < 0) return;
        const bool shown = show || entries_[static_cast<std::size_t>(index)].barShown;
        ApplyBar(id, shown, done, total);
    });
}

void JobListModel::PostHideBar(std::uint64_t id) {
    poster_.Post([this, id] {
        const int index = IndexOf(id);
        if (index < 0) return;
        const Entry& e = entries_[static_cast<std::size_t>(index)];
        ApplyBar(id, false, e.done, e.total);
    });
}

void JobListModel::ApplyStateText(std::uint64_t id, const QString& text) {
    const int index = IndexOf(id);
    if (index < 0) return;
    entries_[static_cast<std::size_t>(index)].stateText = text;
    StateCellChanged(index);
}

void JobListModel::ApplyBar(std::uint64_t id, bool shown, std::uint32_t done, std::uint32_t total) {
    const int index = IndexOf(id);
    if (index < 0) return;
    Entry& e = entries_[static_cast<std::size_t>(index)];
    e.barShown = shown;
    e.total = total == 0 ? 1 : total;
    e.done = std::min(done, e.total);
    StateCellChanged(index);
}

void JobListModel::StateCellChanged(int index) {
    const QModelIndex cell = this->index(index, kState);
    emit dataChanged(cell, cell);
}

void ProgressBarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QStyledItemDelegate::paint(painter, option, index);
    const QVariant bar = index.data(JobListModel::kBarRole);
    if (!bar.isValid()) return;

    QStyleOptionProgressBar o;
    o.rect = option.rect.adjusted(1, 1, -1, -1);
    o.state = (option.state & QStyle::State_Enabled) | QStyle::State_Horizontal;
    o.direction = option.direction;
    o.palette = option.palette;
    o.fontMetrics = option.fontMetrics;
    o.minimum = 0;
    o.maximum = kBarSteps;
    o.progress = static_cast<int>(std::lround(std::clamp(bar.toDouble(), 0.0, 1.0) * kBarSteps));
    o.textVisible = false;
    QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ProgressBar, &o, painter, option.widget);
}

QString JobListView::PlaceholderText() {
    return QStringLiteral("Drop audio files or folders here\nor use Add Files...");
}

void JobListView::paintEvent(QPaintEvent* event) {
    QTreeView::paintEvent(event);
    if (model() && model()->rowCount() > 0) return;
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    painter.drawText(viewport()->rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
                     PlaceholderText());
}

void JobListView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Delete) && onDelete) {
        onDelete();
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}
