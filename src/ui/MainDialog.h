#pragma once

// The program's only window: the conversion settings, the job list and the Add Files, Abort All
// and Clear buttons.
//
// Every control carries its identifier as object name ("1003" for the rate combo, ...). The
// field rules live in SettingsModel; this class forwards the user's edits to it and mirrors what
// the model writes, with the widgets' signals blocked. Files added by the file dialog or dropped
// (text/uri-list) become rows of the job list and jobs on the process-wide pool. Everything here
// runs on the UI thread; jobs reach it only through the poster.

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "job/JobQueue.h"
#include "job/SettingsModel.h"
#include "ui/UIThreadPoster.h"

class JobListModel;
class JobRow;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class JobListView;
class QLineEdit;
class QMenu;
class QMimeData;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSettings;
class QTimer;

class MainDialog final : public QDialog {
public:
    // Remembers its settings in the usual per-user place.
    explicit MainDialog(QWidget* parent = nullptr);
    // Remembers its settings in the INI file `settingsFile` instead.
    explicit MainDialog(const QString& settingsFile, QWidget* parent = nullptr);
    // Stops and waits for jobs still active (only when the dialog is destroyed without closing).
    ~MainDialog() override;

    // A file becomes a row and a job, a folder is walked, anything else is ignored.
    void AddPath(const Filesystem::Path& path);
    // Adds files and folders as one batch.
    void AddPaths(const std::vector<Filesystem::Path>& paths);
    // Adds a row and queues its job, unless the file is already queued or running.
    void AddFileRow(const Filesystem::Path& path, const std::optional<Filesystem::Path>& walkedFrom);
    // With jobs active, asks "Abort queued jobs?"; on Yes (or with no jobs) requests the abort
    // and waits, showing the wait cursor and processing events, until every job has ended.
    // False when the user said No.
    bool RequestAbort();
    // A stop signal arrived: a box open over the window is closed as if cancelled, every job
    // is aborted without asking (their partial outputs are deleted), nothing more is queued,
    // and once all have ended the dialog closes.
    void CloseForSignal();

    void AddFiles();  // Add Files button: the file dialog
    void AbortAll();  // Abort All button
    void Clear();     // Clear button: removes the rows of ended jobs
    void ShowAbout();

    // The rows' context menu (Open Containing Folder, Copy Message, Retry, Remove) for the rows
    // at `indices`; the caller owns it.
    QMenu* MakeRowMenu(std::vector<int> indices);
    // Submits again, with the request each was first submitted with, the rows among `indices`
    // that failed, were aborted or were skipped by an abort.
    void RetryRows(const std::vector<int>& indices);
    // Removes the rows among `indices` whose jobs have ended (also the Delete key).
    void RemoveRows(const std::vector<int>& indices);
    // The folder of the output of row `index`, or of its input when there is no output.
    QString ContainingFolder(int index) const;
    // Every setting back to its default (the settings area's context menu).
    void ResetToDefaults();
    // Writes the settings to where they are remembered (also done when the dialog goes).
    void SaveSettings();
    // The line under the list: files done, failed and left, the batch's percentage and the time
    // it has left once that can be told, and earlier outputs a folder walk left out.
    QString StatusText() const;
    // Refreshes the status line, the overall bar and the title now (they follow the list within
    // 100 ms by themselves).
    void UpdateStatus();

    JobListModel& jobList() { return *list_; }
    const JobQueue& jobQueue() const { return queue_; }
    const SettingsModel& settings() const { return model_; }
    UIThreadPoster& poster() { return poster_; }

protected:
    void reject() override;  // close box and Esc
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // A file to add, and the folder argument a walk found it in.
    struct Found {
        Filesystem::Path file;
        std::optional<Filesystem::Path> walkedFrom;
    };
    // The files `paths` name or hold (folders walked), counting what the walks left out.
    std::vector<Found> Find(const std::vector<Filesystem::Path>& paths);
    // Notes every file as an input of the batch, then adds their rows and jobs.
    void AddFound(const std::vector<Found>& found);

    void BuildControls();
    void BuildOutputGroup(class QGridLayout& grid);
    void SetTabOrder();
    void ConnectControls();
    void MirrorModel();
    void MirrorOutputGroup();
    void ReadOutputFolder();
    void BrowseForFolder();
    void LoadSettings();
    void QueueJob(JobRow& row);
    void Submit(JobRow& row, const ConversionRequest& request);
    // The request for `input` (found by a walk from `walkedFrom`): the model's, with the
    // batch's answer about existing outputs.
    ConversionRequest RequestFor(const Filesystem::Path& input,
                                 const std::optional<Filesystem::Path>& walkedFrom);
    bool EarlierOutputExists(const Filesystem::Path& input,
                             const std::optional<Filesystem::Path>& walkedFrom,
                             const ConversionRequest& request);
    void StartBatchIfIdle();
    // Ends the batch once no job is active; `notify`: tell the user if the window is inactive.
    void FinishBatchIfIdle(bool notify);
    void NotifyBatchEnded();
    void ScheduleStatus();
    void ShowRowMenu(const QPoint& at);
    std::vector<int> SelectedRows() const;
    void DropMimeData(const QMimeData& data);
    void EnableClear();
    void WaitForJobsToEnd();

    SettingsModel model_;
    UIThreadPoster poster_;
    JobQueue queue_;
    std::unique_ptr<QSettings> store_;

    // The batch: the jobs queued since the queue was last idle.
    bool batchActive_ = false;
    int adding_ = 0;  // AddPath or Retry under way: the batch does not end meanwhile
    bool stopping_ = false;  // a stop signal came: nothing more is queued
    std::uint64_t batch_ = 0;
    QElapsedTimer batchClock_;
    std::optional<IfExists> batchAnswer_;  // "ask once per batch": the answer given
    // Output folders listed for the question, with the stems of the earlier outputs they hold.
    std::map<std::string, std::set<std::string>> listedFolders_;
    std::set<std::string> earlierOutputsLeftOut_;  // by folder walks of this batch
    // Names given in this batch that are neither audio files nor folders, and why.
    std::vector<std::pair<std::string, std::string>> notAdded_;
    std::vector<std::string> unreadableFolders_;  // met by folder walks of this batch

    JobListModel* list_ = nullptr;  // children of the dialog
    JobListView* listView_ = nullptr;
    QComboBox* rate_ = nullptr;
    QComboBox* sampleType_ = nullptr;
    QLineEdit* fields_[ControlId::kLastField - ControlId::kFirstField + 1] = {};  // 1004-1011
    QCheckBox* keepPreRing_ = nullptr;
    QCheckBox* snrBox_ = nullptr;
    QPushButton* guardBand_ = nullptr;
    QPushButton* noAliasing_ = nullptr;
    QPushButton* addFiles_ = nullptr;
    QPushButton* abortAll_ = nullptr;
    QPushButton* clear_ = nullptr;
    QLabel* basebandLabel_ = nullptr;
    QLabel* stopbandLabel_ = nullptr;
    QRadioButton* nextToInput_ = nullptr;
    QRadioButton* intoFolder_ = nullptr;
    QLineEdit* folder_ = nullptr;
    QPushButton* browse_ = nullptr;
    QComboBox* container_ = nullptr;
    QComboBox* existing_ = nullptr;
    QCheckBox* preventClipping_ = nullptr;
    QCheckBox* exactLength_ = nullptr;
    QCheckBox* copyMetadata_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* overall_ = nullptr;
    QTimer* statusTimer_ = nullptr;
};
