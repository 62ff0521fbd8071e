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
#include <cstdint>

#include "job/JobQueue.h"
#include "job/SettingsModel.h"
#include "ui/UIThreadPoster.h"

class JobListModel;
class JobRow;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMimeData;
class QPushButton;
class QTreeView;

class MainDialog final : public QDialog {
public:
    explicit MainDialog(QWidget* parent = nullptr);
    // Stops and waits for jobs still active (only when the dialog is destroyed without closing).
    ~MainDialog() override;

    // A file becomes a row and a job, a folder is walked, anything else is ignored.
    void AddPath(const Filesystem::Path& path);
    // Adds a row and queues its job, unless the file is already queued or running.
    void AddFileRow(const Filesystem::Path& path);
    // With jobs active, asks "Abort queued jobs?"; on Yes (or with no jobs) requests the abort
    // and waits, showing the wait cursor and processing events, until every job has ended.
    // False when the user said No.
    bool RequestAbort();
    // A stop signal arrived: every job is aborted without asking (their partial outputs are
    // deleted), and once all have ended the dialog closes.
    void CloseForSignal();

    void AddFiles();  // Add Files button: the file dialog
    void AbortAll();  // Abort All button
    void Clear();     // Clear button: removes the rows of ended jobs
    void ShowAbout();

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
    void BuildControls();
    void ConnectControls();
    void MirrorModel();
    void QueueJob(JobRow& row);
    void DropMimeData(const QMimeData& data);
    void EnableClear();
    void WaitForJobsToEnd();

    SettingsModel model_;
    UIThreadPoster poster_;
    JobQueue queue_;

    JobListModel* list_ = nullptr;  // children of the dialog
    QTreeView* listView_ = nullptr;
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
};
