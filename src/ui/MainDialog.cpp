#include "ui/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QThread>
#include <QTreeView>
#include <QUrl>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "job/FileAcceptance.h"
#include "ui/About.h"
#include "ui/AppIcon.h"
#include "ui/JobList.h"

namespace {

// Converts the layout's dialog units to pixels of the dialog's font, the way dialog templates
// are sized: a horizontal unit is a quarter of the average character width, a vertical unit an
// eighth of the character height.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        const QFontMetrics fm(font);
        const QString alphabet =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        baseX_ = (fm.horizontalAdvance(alphabet) + 26) / 52;
        baseY_ = fm.height();
    }
    int X(int units) const { return (units * baseX_ + 2) / 4; }
    int Y(int units) const { return (units * baseY_ + 4) / 8; }

private:
    int baseX_;
    int baseY_;
};

QString Id(int id) {
    return QString::number(id);
}

QLabel* Label(const QString& text, Qt::Alignment alignment, QWidget* buddy = nullptr) {
    auto* label = new QLabel(text);
    label->setAlignment(alignment | Qt::AlignVCenter);
    if (buddy) label->setBuddy(buddy);
    return label;
}

// Width of an edit that must show `sample` fully, and at least `minimum` pixels.
int FieldWidth(const QWidget& field, const QString& sample, int minimum) {
    return std::max(minimum, field.fontMetrics().horizontalAdvance(sample) + 14);
}

// Waits until every worker of the process-wide pool has left the task it was running: each of
// them takes one barrier task, and all barrier tasks wait for each other. A job's last steps
// after it stopped counting as active may still use the dialog's job queue.
}  // namespace

MainDialog::MainDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Tessival"));
    setWindowIcon(MakeAppIcon());
    setWindowFlag(Qt::WindowMinMaxButtonsHint, true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setAcceptDrops(true);

    auto* about = new QAction(QStringLiteral("&About..."), this);
    about->setShortcut(QKeySequence(Qt::Key_F1));
    connect(about, &QAction::triggered, this, &MainDialog::ShowAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    BuildControls();
    MirrorModel();
    ConnectControls();

    model_.Initialise();
    EnableClear();
    queue_.onAllJobsEnded = [this] {
        // On the worker that ended the last job. A job queued since keeps Abort All enabled.
        poster_.Post([this] {
            if (queue_.ActiveJobs() == 0) abortAll_->setEnabled(false);
        });
    };
    poster_.Attach(*this);
}

MainDialog::~MainDialog() {
    // The base classes hide the window and tear the widgets down after the members are gone,
    // and the widgets still emit meanwhile (hiding moves the focus, and a combo box reports
    // its text when it loses the focus): cut every path from them into this object first.
    for (QObject* child : findChildren<QObject*>()) {
        QObject::disconnect(child, nullptr, this, nullptr);
        child->removeEventFilter(this);
    }
    poster_.Detach();
    if (queue_.ActiveJobs() > 0) {
        // Destroyed without a confirmed close (the program always asks first): stop the jobs.
        // Jobs only post to the UI thread, so waiting here without processing events is safe.
        queue_.AbortAll();
        queue_.WaitIdle();
    }
}

void MainDialog::BuildControls() {
    using namespace ControlId;
    const DialogUnits du(font());

    rate_ = new QComboBox;
    rate_->setObjectName(Id(kRate));
    rate_->setEditable(true);
    rate_->setInsertPolicy(QComboBox::NoInsert);
    rate_->setCompleter(nullptr);  // typed digits stay as typed: "4" is 4 Hz, not "44100"
    for (std::string_view text : kOutputRates)
        rate_->addItem(QString::fromLatin1(text.data(), static_cast<int>(text.size())));
    rate_->setMinimumWidth(FieldWidth(*rate_, QStringLiteral("3072000"), du.X(50)) + 20);
    fields_[kRate - kFirstField] = rate_->lineEdit();

    sampleType_ = new QComboBox;
    sampleType_->setObjectName(Id(kSampleType));
    for (const SampleTypeChoice& choice : kSampleTypes)
        sampleType_->addItem(
            QString::fromLatin1(choice.text.data(), static_cast<int>(choice.text.size())));

    for (int id = kSpeed; id <= kLastField; ++id) {
        auto* edit = new QLineEdit;
        edit->setObjectName(Id(id));
        fields_[id - kFirstField] = edit;
    }
    QLineEdit* speed = fields_[kSpeed - kFirstField];
    QLineEdit* gain = fields_[kGain - kFirstField];
    QLineEdit* sync = fields_[kSyncOffset - kFirstField];
    QLineEdit* snr = fields_[kSnr - kFirstField];
    for (QLineEdit* edit : {speed, gain, sync})
        edit->setFixedWidth(FieldWidth(*edit, QStringLiteral("-1000.000"), du.X(50)));
    for (int id = kBasebandPrespeed; id <= kStopbandPostspeed; ++id) {
        QLineEdit* edit = fields_[id - kFirstField];
        edit->setFixedWidth(FieldWidth(*edit, QStringLiteral("200000.00"), du.X(32)));
    }
    snr->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), snr));
    snr->setFixedWidth(FieldWidth(*snr, QStringLiteral("3260"), du.X(20)));

    keepPreRing_ = new QCheckBox(QStringLiteral("Keep &pre-ring (no click)"));
    keepPreRing_->setObjectName(Id(kKeepPreRing));

    auto* settings = new QGridLayout;
    settings->setContentsMargins(0, 0, 0, 0);
    settings->addWidget(Label(QStringLiteral("Output &format:"), Qt::AlignRight, rate_), 0, 0);
    settings->addWidget(rate_, 0, 1);
    settings->addWidget(Label(QStringLiteral(" Hz"), Qt::AlignLeft), 0, 2);
    settings->addWidget(sampleType_, 0, 3);
    settings->addWidget(Label(QStringLiteral("&Speed adjust:"), Qt::AlignRight, speed), 1, 0);
    settings->addWidget(speed, 1, 1);
    settings->addWidget(Label(QStringLiteral(" %"), Qt::AlignLeft), 1, 2);
    settings->addWidget(Label(QStringLiteral("&Gain:"), Qt::AlignRight, gain), 2, 0);
    settings->addWidget(gain, 2, 1);
    settings->addWidget(Label(QStringLiteral(" dB"), Qt::AlignLeft), 2, 2);
    settings->addWidget(Label(QStringLiteral("Sync &offset:"), Qt::AlignRight, sync), 3, 0);
    settings->addWidget(sync, 3, 1);
    settings->addWidget(Label(QStringLiteral(" output samples"), Qt::AlignLeft), 3, 2, 1, 2);
    settings->addWidget(keepPreRing_, 4, 1, 1, 3);

    auto* filter = new QGroupBox(QStringLiteral("Filter design"));
    auto* design = new QGridLayout(filter);
    design->addWidget(Label(QStringLiteral("Prespeed"), Qt::AlignLeft), 0, 1);
    design->addWidget(Label(QStringLiteral("Postspeed"), Qt::AlignLeft), 0, 2);
    basebandLabel_ = Label(QStringLiteral("&Baseband max (Hz):"), Qt::AlignRight);
    design->addWidget(basebandLabel_, 1, 0);
    design->addWidget(fields_[kBasebandPrespeed - kFirstField], 1, 1);
    design->addWidget(fields_[kBasebandPostspeed - kFirstField], 1, 2);
    stopbandLabel_ = Label(QStringLiteral("S&topband min (Hz):"), Qt::AlignLeft);
    design->addWidget(stopbandLabel_, 2, 0);
    design->addWidget(fields_[kStopbandPrespeed - kFirstField], 2, 1);
    design->addWidget(fields_[kStopbandPostspeed - kFirstField], 2, 2);

    guardBand_ = new QPushButton(QStringLiteral("&Alias guard band\n (faster)"));
    guardBand_->setObjectName(Id(kAliasGuardBand));
    noAliasing_ = new QPushButton(QStringLiteral("&No aliasing\n (best quality)"));
    noAliasing_->setObjectName(Id(kNoAliasing));
    auto* radios = new QButtonGroup(this);
    for (QPushButton* radio : {guardBand_, noAliasing_}) {
        radio->setCheckable(true);
        radio->setAutoDefault(false);
        radio->setMinimumHeight(du.Y(23));
        radios->addButton(radio);
    }
    radios->setExclusive(true);
    design->addWidget(guardBand_, 3, 0);
    design->addWidget(noAliasing_, 3, 1, 1, 2);

    snrBox_ = new QCheckBox(QStringLiteral("S&ignal-to-noise ratio:"));
    snrBox_->setObjectName(Id(kSnrBox));
    auto* snrRow = new QHBoxLayout;
    snrRow->addWidget(snr);
    snrRow->addWidget(Label(QStringLiteral("dB"), Qt::AlignLeft));
    snrRow->addStretch(1);
    design->addWidget(snrBox_, 4, 0);
    design->addLayout(snrRow, 4, 1, 1, 2);
    settings->addWidget(filter, 5, 0, 1, 4);
    settings->setRowStretch(6, 1);

    addFiles_ = new QPushButton(QStringLiteral("A&dd Files..."));
    addFiles_->setObjectName(Id(kAddFiles));
    addFiles_->setDefault(true);
    abortAll_ = new QPushButton(QStringLiteral("Abort A&ll"));
    abortAll_->setObjectName(Id(kAbortAll));
    abortAll_->setEnabled(false);
    clear_ = new QPushButton(QStringLiteral("Cl&ear"));
    clear_->setObjectName(Id(kClear));
    clear_->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* button : {addFiles_, abortAll_, clear_}) {
        button->setMinimumHeight(du.Y(17));
        buttons->addWidget(button);
    }
    settings->addLayout(buttons, 7, 0, 1, 4);

    list_ = new JobListModel(poster_, this);
    listView_ = new QTreeView;
    listView_->setObjectName(Id(kFileList));
    listView_->setModel(list_);
    listView_->setItemDelegate(new ProgressBarDelegate(listView_));
    listView_->setRootIsDecorated(false);
    listView_->setItemsExpandable(false);
    listView_->setUniformRowHeights(true);
    listView_->setAllColumnsShowFocus(true);
    listView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    listView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    listView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listView_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    listView_->setSortingEnabled(false);
    listView_->header()->setSectionsClickable(false);
    listView_->header()->setStretchLastSection(true);
    listView_->setColumnWidth(JobListModel::kFilename, 150);
    listView_->setColumnWidth(JobListModel::kState, 100);
    listView_->setMinimumWidth(du.X(200));
    listView_->viewport()->setAcceptDrops(true);
    listView_->viewport()->installEventFilter(this);

    auto* top = new QHBoxLayout(this);
    top->addLayout(settings, 0);
    top->addWidget(listView_, 1);

    const QSize hint = sizeHint();
    resize(std::max(hint.width(), du.X(497)), std::max(hint.height(), du.Y(228)));
}

void MainDialog::MirrorModel() {
    using namespace ControlId;
    SettingsModel::Observer observer;
    observer.textWritten = [this](int id, const std::string& text) {
        QLineEdit* edit = fields_[id - kFirstField];
        const QSignalBlocker block(edit);
        edit->setText(QString::fromStdString(text));
    };
    observer.enabledChanged = [this](int id, bool enabled) {
        fields_[id - kFirstField]->setEnabled(enabled);
        // A label's mnemonic goes to the first enabled field of its row.
        if (id == kBasebandPrespeed)
            basebandLabel_->setBuddy(
                fields_[(enabled ? kBasebandPrespeed : kBasebandPostspeed) - kFirstField]);
        else if (id == kStopbandPrespeed)
            stopbandLabel_->setBuddy(
                fields_[(enabled ? kStopbandPrespeed : kStopbandPostspeed) - kFirstField]);
    };
    observer.checkChanged = [this](int id, bool checked) {
        QAbstractButton* button = nullptr;
        switch (id) {
            case kKeepPreRing:
                button = keepPreRing_;
                break;
            case kSnrBox:
                button = snrBox_;
                break;
            case kAliasGuardBand:
                button = guardBand_;
                break;
            case kNoAliasing:
                button = noAliasing_;
                break;
            default:
                return;
        }
        // The radios are exclusive: checking one clears the other.
        if (!checked && (button == guardBand_ || button == noAliasing_)) return;
        const QSignalBlocker block(button);
        button->setChecked(checked);
    };
    observer.selectionChanged = [this](int, int index) {
        const QSignalBlocker block(sampleType_);
        sampleType_->setCurrentIndex(index);
    };
    model_.SetObserver(std::move(observer));
}

void MainDialog::ConnectControls() {
    using namespace ControlId;
    for (int id = kFirstField; id <= kLastField; ++id) {
        QLineEdit* edit = fields_[id - kFirstField];
        connect(edit, &QLineEdit::textEdited, this,
                [this, id](const QString& text) { model_.OnFieldChanged(id, text.toStdString()); });
        edit->installEventFilter(this);
    }
    rate_->installEventFilter(this);
    connect(rate_, &QComboBox::activated, this,
            [this](int index) { model_.OnRateChosen(rate_->itemText(index).toStdString()); });
    connect(sampleType_, &QComboBox::activated, this,
            [this](int index) { model_.OnSampleTypeChosen(index); });
    connect(keepPreRing_, &QCheckBox::clicked, this,
            [this](bool checked) { model_.OnKeepPreRingClicked(checked); });
    connect(snrBox_, &QCheckBox::clicked, this,
            [this](bool checked) { model_.OnSnrBoxClicked(checked); });
    for (QPushButton* radio : {guardBand_, noAliasing_})
        connect(radio, &QPushButton::clicked, this,
                [this] { model_.OnAliasRadioClicked(guardBand_->isChecked()); });
    connect(addFiles_, &QPushButton::clicked, this, &MainDialog::AddFiles);
    connect(abortAll_, &QPushButton::clicked, this, &MainDialog::AbortAll);
    connect(clear_, &QPushButton::clicked, this, &MainDialog::Clear);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::FocusOut: {
            // Opening the rate list or a context menu is not leaving the field.
            if (static_cast<QFocusEvent*>(event)->reason() == Qt::PopupFocusReason) break;
            if (watched == rate_) {
                model_.UpdateField(ControlId::kRate);
                break;
            }
            for (int id = ControlId::kFirstField; id <= ControlId::kLastField; ++id)
                if (watched == fields_[id - ControlId::kFirstField]) model_.UpdateField(id);
            break;
        }
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            // The list hands what is dropped on it to the dialog.
            if (watched == listView_->viewport()) {
                event->type() == QEvent::Drop ? dropEvent(static_cast<QDropEvent*>(event))
                                              : dragMoveEvent(static_cast<QDragMoveEvent*>(event));
                return true;
            }
            break;
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::dragEnterEvent(QDragEnterEvent* event) {
    dragMoveEvent(event);
}

void MainDialog::dragMoveEvent(QDragMoveEvent* event) {
    const QMimeData* data = event->mimeData();
    if (data && data->hasUrls()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void MainDialog::dropEvent(QDropEvent* event) {
    const QMimeData* data = event->mimeData();
    if (!data || !data->hasUrls()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    DropMimeData(*data);
}

void MainDialog::DropMimeData(const QMimeData& data) {
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile()) continue;
        const QByteArray name = QFile::encodeName(url.toLocalFile());
        try {
            AddPath(Filesystem::Path::FromNative(std::string_view(name.constData(), name.size()),
                                                 Filesystem::Path::Kind::Either));
        } catch (const std::exception&) {
            // A name that is not a path (a NUL): skipped like any unusable entry.
        }
    }
    EnableClear();
}

void MainDialog::AddFiles() {
    const QStringList names = QFileDialog::getOpenFileNames(
        this, QString(), QString(),
        QStringLiteral("Audio files (*.wav *.wv *.flac *.aiff);;All files (*)"));
    for (const QString& text : names) {
        const QByteArray name = QFile::encodeName(text);
        try {
            AddPath(Filesystem::Path::FromNative(std::string_view(name.constData(), name.size()),
                                                 Filesystem::Path::Kind::File));
        } catch (const std::exception&) {
        }
    }
    EnableClear();
}

void MainDialog::AddPath(const Filesystem::Path& path) {
    ::AddPath(path, [this](const Filesystem::Path& file) { AddFileRow(file); });
    EnableClear();
}

void MainDialog::AddFileRow(const Filesystem::Path& path) {
    if (list_->IsQueuedOrRunning(path)) return;
    QueueJob(list_->AddRow(path));
}

void MainDialog::QueueJob(JobRow& row) {
    // The fields accept any number; a job cannot run with some of them, and the queue ends
    // such a row at once with the reason.
    try {
        queue_.Submit(row, model_.request());
    } catch (...) {  // no worker could be started
        row.SetStateText(DescribeFailure(std::current_exception()));
        row.state = JobState::Failed;
    }
    // A job that has already ended posted the closure that disables the button again.
    if (queue_.ActiveJobs() > 0) abortAll_->setEnabled(true);
}

bool MainDialog::RequestAbort() {
    if (queue_.ActiveJobs() != 0) {
        const auto answer = QMessageBox::warning(
            this, QStringLiteral("Tessival"), QStringLiteral("Abort queued jobs?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) return false;
    }
    if (queue_.ActiveJobs() == 0) return true;
    queue_.AbortAll();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WaitForJobsToEnd();
    QApplication::restoreOverrideCursor();
    return true;
}

void MainDialog::WaitForJobsToEnd() {
    // Jobs post their texts meanwhile; the user's input waits until the jobs have ended.
    while (!queue_.WaitIdle(std::chrono::milliseconds(50)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);  // the last texts
}

void MainDialog::CloseForSignal() {
    if (queue_.ActiveJobs() > 0) {
        queue_.AbortAll();
        WaitForJobsToEnd();
    }
    poster_.Detach();
    QDialog::reject();
}

void MainDialog::AbortAll() {
    if (RequestAbort()) abortAll_->setEnabled(false);
}

void MainDialog::Clear() {
    list_->RemoveEndedRows();
    EnableClear();
}

void MainDialog::EnableClear() {
    clear_->setEnabled(list_->rowCount() > 0);
}

void MainDialog::ShowAbout() {
    AboutDialog about(this);
    about.exec();
}

void MainDialog::reject() {
    if (!RequestAbort()) return;
    poster_.Detach();
    QDialog::reject();
}
