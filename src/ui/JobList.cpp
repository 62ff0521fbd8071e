#include "ui/JobList.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "job/FileAcceptance.h"
#include "ui/UIThreadPoster.h"

namespace {

constexpr int kBarSteps = 10000;  // resolution of the painted bar

bool IsRunning(const iJobRow& row) {
    return row.state.load() == JobState::Running;
}

}  // namespace

void JobRow::SetStateText(const std::string& text) {
    list_.SetRowStateText(*this, text);
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
        case Qt::ToolTipRole:
            switch (index.column()) {
                case kFilename:
                    return e.leaf;
                case kState:
                    return e.stateText;
                case kPath:
                    return e.folder;
                default:
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

JobRow& JobListModel::AddRow(const Filesystem::Path& path) {
    Entry e;
    e.row = std::make_unique<JobRow>(path, nextId_++, *this);
    e.leaf = QString::fromStdString(path.Leaf());
    e.folder = QString::fromStdString(path.Parent().ToString('/'));
    const int index = rowCount();
    beginInsertRows({}, index, index);
    entries_.push_back(std::move(e));
    endInsertRows();
    return *entries_.back().row;
}

int JobListModel::RemoveEndedRows() {
    int removed = 0;
    for (int i = rowCount() - 1; i >= 0; --i) {
        const JobState s = entries_[static_cast<std::size_t>(i)].row->state.load();
        if (s != JobState::Failed && s != JobState::Finished) continue;
        beginRemoveRows({}, i, i);
        entries_.erase(entries_.begin() + i);
        endRemoveRows();
        ++removed;
    }
    return removed;
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
    return ::IsQueuedOrRunning(path, rows);
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
