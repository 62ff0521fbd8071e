#include "ui/MainDialog.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QShortcut>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <set>
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

// The containers the window offers, in list order.
struct ContainerChoice {
    Container container;
    const char* text;
};
constexpr ContainerChoice kContainerChoices[] = {
    {Container::Wave, "WAVE (.wav)"},
    {Container::WavPack, "WavPack (.wv)"},
    {Container::Aiff, "AIFF (.aiff)"},
    {Container::Flac, "FLAC (.flac)"},
};

// The existing-output choices, in list order (ExistingOutputChoice's order).
constexpr const char* kExistingOutputTexts[] = {"Replace", "Skip", "Ask once per batch"};

QString FromNative(const std::string& text) {
    return QFile::decodeName(QByteArray::fromStdString(text));
}

std::string ToNative(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

// "about 40 s left", "about 3 min left", "about 2 h 5 min left".
QString TimeLeft(double seconds) {
    const auto s = static_cast<long long>(std::ceil(seconds));
    if (s < 60) return QStringLiteral("about %1 s left").arg(std::max(1LL, s));
    const long long minutes = (s + 30) / 60;
    if (minutes < 60) return QStringLiteral("about %1 min left").arg(minutes);
    return QStringLiteral("about %1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

// Width of an edit that must show `sample` fully, and at least `minimum` pixels.
int FieldWidth(const QWidget& field, const QString& sample, int minimum) {
    return std::max(minimum, field.fontMetrics().horizontalAdvance(sample) + 14);
}

// Waits until every worker of the process-wide pool has left the task it was running: each of
// them takes one barrier task, and all barrier tasks wait for each other. A job's last steps
// after it stopped counting as active may still use the dialog's job queue.
}  // namespace

MainDialog::MainDialog(QWidget* parent)
    : MainDialog(QString(), parent) {}

MainDialog::MainDialog(const QString& settingsFile, QWidget* parent)
    : QDialog(parent),
      store_(settingsFile.isEmpty()
                 ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                               QStringLiteral("Tessival"),
                                               QStringLiteral("Tessival"))
                 : std::make_unique<QSettings>(settingsFile, QSettings::IniFormat)) {
    setWindowTitle(QStringLiteral("Tessival"));
    setWindowIcon(MakeAppIcon());
    setWindowFlag(Qt::WindowMinMaxButtonsHint, true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setAcceptDrops(true);

    auto* about = new QAction(QStringLiteral("&About..."), this);
    about->setShortcut(QKeySequence(Qt::Key_F1));
    connect(about, &QAction::triggered, this, &MainDialog::ShowAbout);
    addAction(about);
    // The settings area's context menu: About and Reset to defaults.
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    auto* reset = new QAction(QStringLiteral("&Reset to defaults"), this);
    connect(reset, &QAction::triggered, this, &MainDialog::ResetToDefaults);
    addAction(reset);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    // Esc closes, as does the usual quit key.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QDialog::close);

    BuildControls();
    MirrorModel();
    ConnectControls();

    model_.Initialise();
    LoadSettings();
    EnableClear();
    UpdateStatus();
    queue_.onAllJobsEnded = [this] {
        // On the worker that ended the last job. A job queued since keeps the batch going.
        poster_.Post([this] { FinishBatchIfIdle(true); });
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
    SaveSettings();
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
    BuildOutputGroup(*settings);
    settings->setRowStretch(7, 1);

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
    settings->addLayout(buttons, 8, 0, 1, 4);

    list_ = new JobListModel(poster_, this);
    listView_ = new JobListView;
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
    listView_->setContextMenuPolicy(Qt::CustomContextMenu);
    listView_->setAccessibleName(QStringLiteral("Job list"));
    listView_->setAccessibleDescription(JobListView::PlaceholderText());

    status_ = new QLabel;
    status_->setObjectName(QStringLiteral("status"));
    status_->setAccessibleName(QStringLiteral("Status"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long line (a deep folder's name) is cut at the window's edge, whole in its tooltip: its
    // width set the window's least width (32767 pixels).
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    overall_ = new QProgressBar;
    overall_->setObjectName(QStringLiteral("overallProgress"));
    overall_->setAccessibleName(QStringLiteral("Overall progress"));
    overall_->setRange(0, 1000);
    overall_->setFormat(QStringLiteral("%p%"));
    overall_->setMaximumWidth(du.X(80));
    overall_->setVisible(false);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(status_, 1);
    statusRow->addWidget(overall_);
    auto* listColumn = new QVBoxLayout;
    listColumn->addWidget(listView_, 1);
    listColumn->addLayout(statusRow);

    auto* top = new QHBoxLayout(this);
    top->addLayout(settings, 0);
    top->addLayout(listColumn, 1);
    SetTabOrder();

    statusTimer_ = new QTimer(this);
    statusTimer_->setSingleShot(true);
    statusTimer_->setInterval(100);

    const QSize hint = sizeHint();
    resize(std::max(hint.width(), du.X(497)), std::max(hint.height(), du.Y(228)));
}

void MainDialog::BuildOutputGroup(QGridLayout& grid) {
    auto* group = new QGroupBox(QStringLiteral("Output"));
    auto* layout = new QGridLayout(group);
    nextToInput_ = new QRadioButton(QStringLiteral("Ne&xt to each input"));
    nextToInput_->setObjectName(QStringLiteral("outputNextToInput"));
    intoFolder_ = new QRadioButton(QStringLiteral("Into folde&r:"));
    intoFolder_->setObjectName(QStringLiteral("outputIntoFolder"));
    folder_ = new QLineEdit;
    folder_->setObjectName(QStringLiteral("outputFolder"));
    folder_->setAccessibleName(QStringLiteral("Output folder"));
    browse_ = new QPushButton(QStringLiteral("Bro&wse..."));
    browse_->setObjectName(QStringLiteral("browseFolder"));
    browse_->setAutoDefault(false);
    container_ = new QComboBox;
    container_->setObjectName(QStringLiteral("container"));
    for (const ContainerChoice& choice : kContainerChoices)
        container_->addItem(QString::fromLatin1(choice.text));
    existing_ = new QComboBox;
    existing_->setObjectName(QStringLiteral("existingOutputs"));
    for (const char* text : kExistingOutputTexts) existing_->addItem(QString::fromLatin1(text));

    layout->addWidget(nextToInput_, 0, 0, 1, 3);
    layout->addWidget(intoFolder_, 1, 0);
    layout->addWidget(folder_, 1, 1);
    layout->addWidget(browse_, 1, 2);
    layout->addWidget(Label(QStringLiteral("&Container:"), Qt::AlignRight, container_), 2, 0);
    layout->addWidget(container_, 2, 1, 1, 2);
    layout->addWidget(Label(QStringLiteral("Existing outp&ut:"), Qt::AlignRight, existing_), 3, 0);
    layout->addWidget(existing_, 3, 1, 1, 2);
    preventClipping_ = new QCheckBox(QStringLiteral("Pre&vent clipping"));
    preventClipping_->setObjectName(QStringLiteral("preventClipping"));
    preventClipping_->setToolTip(QStringLiteral(
        "When an output clips, convert it again with the gain lowered just enough"));
    exactLength_ = new QCheckBox(QStringLiteral("Trim to input lengt&h"));
    exactLength_->setObjectName(QStringLiteral("exactLength"));
    exactLength_->setToolTip(QStringLiteral(
        "Outputs last exactly as long as their inputs (the filter's tail is cut)"));
    copyMetadata_ = new QCheckBox(QStringLiteral("Cop&y metadata"));
    copyMetadata_->setObjectName(QStringLiteral("copyMetadata"));
    copyMetadata_->setToolTip(QStringLiteral(
        "Descriptions, tags, markers and time stamps go with the audio, rescaled to the new rate"));
    layout->addWidget(copyMetadata_, 4, 0, 1, 3);
    layout->addWidget(preventClipping_, 5, 0, 1, 2);
    layout->addWidget(exactLength_, 5, 2);
    layout->setColumnStretch(1, 1);
    grid.addWidget(group, 6, 0, 1, 4);
}

void MainDialog::SetTabOrder() {
    using namespace ControlId;
    std::vector<QWidget*> chain{rate_, sampleType_};
    for (int id : {kSpeed, kGain, kSyncOffset}) chain.push_back(fields_[id - kFirstField]);
    chain.push_back(keepPreRing_);
    for (int id = kBasebandPrespeed; id <= kStopbandPostspeed; ++id)
        chain.push_back(fields_[id - kFirstField]);
    for (QWidget* w : std::initializer_list<QWidget*>{
             guardBand_, noAliasing_, snrBox_, fields_[kSnr - kFirstField], nextToInput_,
             intoFolder_, folder_, browse_, container_, existing_, copyMetadata_, preventClipping_, exactLength_,
             addFiles_, abortAll_, clear_,
             listView_})
        chain.push_back(w);
    for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

void MainDialog::MirrorOutputGroup() {
    const QSignalBlocker b1(nextToInput_), b2(intoFolder_), b3(container_), b4(existing_),
        b5(preventClipping_), b6(exactLength_), b7(copyMetadata_);
    copyMetadata_->setChecked(model_.copyMetadata());
    preventClipping_->setChecked(model_.preventClipping());
    exactLength_->setChecked(model_.exactLength());
    if (const auto& folder = model_.outputFolder()) {
        intoFolder_->setChecked(true);
        // The text as typed stays; a folder restored without it shows its name.
        if (folder_->text().trimmed().isEmpty()) {
            std::string text = folder->NativeText();
            if (text.size() > 1 && text.back() == Filesystem::Path::nativeSeparator) text.pop_back();
            folder_->setText(FromNative(text));
        }
    } else {
        nextToInput_->setChecked(true);
    }
    for (int i = 0; i < static_cast<int>(std::size(kContainerChoices)); ++i)
        if (kContainerChoices[i].container == model_.container()) container_->setCurrentIndex(i);
    existing_->setCurrentIndex(static_cast<int>(model_.existingOutputs()));
}

void MainDialog::ReadOutputFolder() {
    const QString text = folder_->text().trimmed();
    std::optional<Filesystem::Path> folder;
    // While the radios change, both may read checked for a moment.
    if (intoFolder_->isChecked() && !nextToInput_->isChecked() && !text.isEmpty()) {
        try {
            // A relative folder is the one below the current folder now, also after a restart
            // from elsewhere.
            folder = Filesystem::Path::FromNative(ToNative(QDir::current().absoluteFilePath(text)),
                                                  Filesystem::Path::Kind::Directory);
        } catch (const std::exception&) {
        }
    }
    model_.SetOutputFolder(std::move(folder));
}

void MainDialog::BrowseForFolder() {
    const QString chosen =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Output folder"), folder_->text());
    if (!chosen.isEmpty()) {
        folder_->setText(chosen);
        intoFolder_->setChecked(true);
    }
    if (folder_->text().trimmed().isEmpty()) nextToInput_->setChecked(true);
    ReadOutputFolder();
}

void MainDialog::LoadSettings() {
    store_->beginGroup(QStringLiteral("settings"));
    model_.Restore([this](std::string_view key) -> std::optional<std::string> {
        const QString name = QString::fromLatin1(key.data(), static_cast<int>(key.size()));
        if (!store_->contains(name)) return std::nullopt;
        return store_->value(name).toString().toStdString();
    });
    store_->endGroup();
    // The folder typed last stays in its field while outputs go next to their inputs.
    folder_->setText(store_->value(QStringLiteral("window/outputFolderText")).toString());
    MirrorOutputGroup();
}

void MainDialog::SaveSettings() {
    if (!store_) return;
    store_->beginGroup(QStringLiteral("settings"));
    for (const auto& [key, value] : model_.Saved())
        store_->setValue(QString::fromStdString(key), QString::fromStdString(value));
    store_->endGroup();
    const QString folder = folder_->text().trimmed();
    store_->setValue(QStringLiteral("window/outputFolderText"),
                     folder.isEmpty() ? folder : QDir::current().absoluteFilePath(folder));
    store_->sync();
}

void MainDialog::ResetToDefaults() {
    model_.ResetToDefaults();
    folder_->clear();
    MirrorOutputGroup();
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
        connect(edit, &QLineEdit::textEdited, this, [this, id](QString text) {
            // A decimal comma (a comma and no point) is read as the decimal point.
            if (text.count(QLatin1Char(',')) == 1 && !text.contains(QLatin1Char('.')))
                text.replace(QLatin1Char(','), QLatin1Char('.'));
            model_.OnFieldChanged(id, text.toStdString());
        });
        edit->installEventFilter(this);
    }
    rate_->installEventFilter(this);
    folder_->installEventFilter(this);
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
    connect(nextToInput_, &QRadioButton::toggled, this, [this] { ReadOutputFolder(); });
    connect(intoFolder_, &QRadioButton::clicked, this, [this] {
        if (folder_->text().trimmed().isEmpty()) BrowseForFolder();
        ReadOutputFolder();
    });
    connect(folder_, &QLineEdit::textEdited, this, [this] {
        // The radio says where outputs go: an emptied field sends them next to their inputs.
        (folder_->text().trimmed().isEmpty() ? nextToInput_ : intoFolder_)->setChecked(true);
        ReadOutputFolder();
    });
    connect(browse_, &QPushButton::clicked, this, &MainDialog::BrowseForFolder);
    connect(container_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0) model_.SetContainer(kContainerChoices[index].container);
    });
    connect(existing_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0) model_.SetExistingOutputs(static_cast<ExistingOutputChoice>(index));
    });
    connect(preventClipping_, &QCheckBox::toggled, this,
            [this](bool on) { model_.SetPreventClipping(on); });
    connect(exactLength_, &QCheckBox::toggled, this, [this](bool on) { model_.SetExactLength(on); });
    connect(copyMetadata_, &QCheckBox::toggled, this, [this](bool on) { model_.SetCopyMetadata(on); });
    connect(addFiles_, &QPushButton::clicked, this, &MainDialog::AddFiles);
    connect(abortAll_, &QPushButton::clicked, this, &MainDialog::AbortAll);
    connect(clear_, &QPushButton::clicked, this, &MainDialog::Clear);

    connect(listView_, &QWidget::customContextMenuRequested, this, &MainDialog::ShowRowMenu);
    listView_->onDelete = [this] { RemoveRows(SelectedRows()); };
    connect(statusTimer_, &QTimer::timeout, this, &MainDialog::UpdateStatus);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(list_, signal, this, &MainDialog::ScheduleStatus);
    connect(list_, &QAbstractItemModel::dataChanged, this, &MainDialog::ScheduleStatus);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress: {
            // Enter in a settings field confirms its value (as leaving it does); it does not
            // press the default button (Add Files).
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key != Qt::Key_Return && key != Qt::Key_Enter) break;
            if (watched == rate_) {
                model_.UpdateField(ControlId::kRate);
                return true;
            }
            if (watched == folder_) return true;  // read as it is typed
            for (int id = ControlId::kFirstField; id <= ControlId::kLastField; ++id) {
                if (watched != fields_[id - ControlId::kFirstField]) continue;
                model_.UpdateField(id);
                return true;
            }
            break;
        }
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
    std::vector<Filesystem::Path> paths;
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile()) continue;
        // The name's bytes as the URL carries them (a name need not be valid text).
        const QByteArray name =
            QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        try {
            paths.push_back(Filesystem::Path::FromNative(
                std::string_view(name.constData(), name.size()), Filesystem::Path::Kind::Either));
        } catch (const std::exception&) {
            // A name that is not a path (a NUL): skipped like any unusable entry.
        }
    }
    AddPaths(paths);
}

void MainDialog::AddFiles() {
    const QStringList names = QFileDialog::getOpenFileNames(
        this, QString(), QString(),
        QStringLiteral("Audio files (*.wav *.wv *.aif *.aiff *.aifc *.flac);;All files (*)"));
    std::vector<Filesystem::Path> paths;
    for (const QString& text : names) {
        const QByteArray name = QFile::encodeName(text);
        try {
            paths.push_back(Filesystem::Path::FromNative(
                std::string_view(name.constData(), name.size()), Filesystem::Path::Kind::File));
        } catch (const std::exception&) {
        }
    }
    AddPaths(paths);
}

void MainDialog::AddPaths(const std::vector<Filesystem::Path>& paths) {
    // One batch for the queue however soon the first jobs end: two inputs added together whose
    // outputs share a name never both write it.
    JobQueue::Batch batch(queue_);
    AddFound(Find(paths));
    EnableClear();
}

void MainDialog::AddPath(const Filesystem::Path& path) {
    JobQueue::Batch batch(queue_);
    AddFound(Find({path}));
}

std::vector<MainDialog::Found> MainDialog::Find(const std::vector<Filesystem::Path>& paths) {
    if (!batchActive_) {
        earlierOutputsLeftOut_.clear();
        unreadableFolders_.clear();
        notAdded_.clear();
    }
    std::vector<Found> found;
    for (const Filesystem::Path& path : paths) {
        WalkReport report;
        ::AddPath(
            path,
            [&found, &path](const Filesystem::Path& file) {
                // A file found in a folder keeps its place below the folder in an output folder.
                found.push_back({file, file.NativeText() == path.NativeText()
                                           ? std::nullopt
                                           : std::optional<Filesystem::Path>(path)});
            },
            &report);
        earlierOutputsLeftOut_.insert(report.earlierOutputFiles.begin(),
                                      report.earlierOutputFiles.end());
        for (auto& [folder, why] : report.unreadableFolders) unreadableFolders_.push_back(folder);
        for (auto& entry : report.notTaken) notAdded_.push_back(std::move(entry));
    }
    // Each file once, under the name the command line keeps of several names of it (a link, a
    // hard link, a name given twice), in the order given; a name left out is told.
    std::vector<Filesystem::Path> files;
    for (const Found& f : found) files.push_back(f.file);
    std::vector<std::pair<Filesystem::Path, Filesystem::Path>> dropped;
    std::set<std::string> kept;
    for (const Filesystem::Path& file : DistinctFilesInOrder(std::move(files), &dropped))
        kept.insert(file.NativeText());
    std::vector<Found> distinct;
    for (Found& f : found)
        if (kept.erase(f.file.NativeText())) distinct.push_back(std::move(f));
    for (const auto& [left, same] : dropped)
        if (left.NativeText() != same.NativeText())
            notAdded_.emplace_back(left.NativeText(), "the same file as " + same.NativeText());
    return distinct;
}

void MainDialog::AddFound(const std::vector<Found>& found) {
    // Every file is an input of the batch before any of them is queued: no job that starts
    // meanwhile replaces one (a file named as another one's output is).
    for (const Found& f : found) queue_.NoteInput(f.file);
    ++adding_;
    try {
        for (const Found& f : found) AddFileRow(f.file, f.walkedFrom);
    } catch (...) {
        --adding_;
        throw;
    }
    --adding_;
    EnableClear();
    FinishBatchIfIdle(false);
    UpdateStatus();
}

void MainDialog::AddFileRow(const Filesystem::Path& path,
                            const std::optional<Filesystem::Path>& walkedFrom) {
    if (stopping_) return;
    // Said, as the command line says it (the name was dropped without a word).
    if (list_->IsQueuedOrRunning(path)) {
        notAdded_.emplace_back(path.NativeText(), "queued or converting already");
        return;
    }
    StartBatchIfIdle();
    JobRow& row = list_->AddRow(path, batch_);
    row.walkedFrom = walkedFrom;
    QueueJob(row);
}

void MainDialog::QueueJob(JobRow& row) {
    Submit(row, RequestFor(row.path, row.walkedFrom));
}

void MainDialog::Submit(JobRow& row, const ConversionRequest& request) {
    row.request = request;
    if (stopping_) return;  // a stop signal came while the request was asked about
    // The fields accept any number; a job cannot run with some of them, and the queue ends
    // such a row at once with the reason.
    try {
        queue_.Submit(row, request);
    } catch (...) {  // no worker could be started
        JobQueue::EndFailed(row, std::current_exception());
    }
    // A job that has already ended posted the closure that disables the button again.
    if (queue_.ActiveJobs() > 0) abortAll_->setEnabled(true);
}

ConversionRequest MainDialog::RequestFor(const Filesystem::Path& input,
                                         const std::optional<Filesystem::Path>& walkedFrom) {
    ConversionRequest request = model_.request();
    if (model_.existingOutputs() != ExistingOutputChoice::Ask) return request;
    if (!batchAnswer_ && EarlierOutputExists(input, walkedFrom, request)) {
        QMessageBox box(QMessageBox::Question, QStringLiteral("Tessival"),
                        QStringLiteral("The output folder already holds outputs of earlier "
                                       "conversions.\nWhen an output's name is taken, replace "
                                       "the file or skip the input?"),
                        QMessageBox::NoButton, this);
        QPushButton* replace = box.addButton(QStringLiteral("&Replace"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("&Skip"), QMessageBox::RejectRole);
        box.setDefaultButton(replace);
        box.exec();
        batchAnswer_ = box.clickedButton() == replace ? IfExists::Replace : IfExists::Skip;
    }
    // Until an output is seen nothing can be lost: replacing is the default.
    request.ifExists = batchAnswer_.value_or(IfExists::Replace);
    return request;
}

bool MainDialog::EarlierOutputExists(const Filesystem::Path& input,
                                     const std::optional<Filesystem::Path>& walkedFrom,
                                     const ConversionRequest& request) {
    // Outputs are named "<input stem> [<settings>].<container>": an earlier output of this input
    // in the folder the output goes to (a sub-folder of the output folder for a file a walk
    // found) may be the very name (the settings part is not known before the chain is built).
    // Each folder is listed once per batch.
    const std::optional<Filesystem::Path> into =
        OutputOptionsFor(request, input, walkedFrom).directory;
    const Filesystem::Path folder = into ? *into : input.Parent();
    const std::string key = folder.NativeText();
    auto it = listedFolders_.find(key);
    if (it == listedFolders_.end()) {
        std::set<std::string> stems;
        const QDir dir(FromNative(key.empty() ? std::string(".") : key));
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden)) {
            const std::string leaf = ToNative(name);
            const Filesystem::Path entry =
                Filesystem::Path::FromNative(leaf, Filesystem::Path::Kind::File);
            if (!HasOutputSuffix(entry)) continue;
            stems.insert(leaf.substr(0, leaf.rfind(" [")));
        }
        it = listedFolders_.emplace(key, std::move(stems)).first;
    }
    std::string stem = input.Leaf();
    if (const std::size_t dot = stem.rfind('.'); dot != std::string::npos) stem.resize(dot);
    return it->second.count(stem) > 0;
}

void MainDialog::StartBatchIfIdle() {
    if (batchActive_) return;
    batchActive_ = true;
    ++batch_;
    batchClock_.start();
    batchAnswer_.reset();
    listedFolders_.clear();
}

void MainDialog::FinishBatchIfIdle(bool notify) {
    if (queue_.ActiveJobs() != 0) return;
    abortAll_->setEnabled(false);
    if (!batchActive_ || adding_ > 0) return;
    batchActive_ = false;
    batchAnswer_.reset();
    listedFolders_.clear();
    UpdateStatus();
    if (notify && !isActiveWindow()) NotifyBatchEnded();
}

void MainDialog::NotifyBatchEnded() {
    QApplication::alert(this);
    if (!QSystemTrayIcon::isSystemTrayAvailable() || !QSystemTrayIcon::supportsMessages()) return;
    auto* tray = findChild<QSystemTrayIcon*>();
    if (!tray) {
        tray = new QSystemTrayIcon(windowIcon(), this);
        connect(tray, &QSystemTrayIcon::activated, this, [this, tray] {
            tray->hide();
            activateWindow();
        });
    }
    tray->show();
    tray->showMessage(QStringLiteral("Tessival: conversions ended"), StatusText(),
                      QSystemTrayIcon::Information);
}

void MainDialog::ScheduleStatus() {
    if (!statusTimer_->isActive()) statusTimer_->start();
}

QString MainDialog::StatusText() const {
    const JobListModel::Summary s = list_->Summarize(batch_);
    QStringList parts;
    if (list_->rowCount() > 0) {
        QString counts = QStringLiteral("%1 done").arg(s.done);
        if (s.clipped > 0) counts += QStringLiteral(" (%1 clipped)").arg(s.clipped);
        counts += QStringLiteral(", %1 failed, %2 left").arg(s.failed).arg(s.left);
        if (s.existing > 0) counts += QStringLiteral(", %1 skipped").arg(s.existing);
        if (s.aborted > 0) counts += QStringLiteral(", %1 aborted").arg(s.aborted);
        if (s.skipped > 0) counts += QStringLiteral(", %1 not run").arg(s.skipped);
        parts.append(counts);
    }
    if (batchActive_ && s.inBatch > 0) {
        parts.append(QStringLiteral("%1%").arg(static_cast<int>(std::floor(s.batchFraction * 100))));
        const double elapsed = static_cast<double>(batchClock_.elapsed()) / 1000.0;
        // Early figures swing widely: an estimate once 3 s and 3 % have passed.
        if (s.batchFraction >= 0.03 && s.batchFraction < 1.0 && elapsed >= 3.0)
            parts.append(TimeLeft(elapsed * (1.0 - s.batchFraction) / s.batchFraction));
    }
    if (!earlierOutputsLeftOut_.empty())
        parts.append(earlierOutputsLeftOut_.size() == 1
                         ? QStringLiteral("1 earlier output in the folders not added")
                         : QStringLiteral("%1 earlier outputs in the folders not added")
                               .arg(earlierOutputsLeftOut_.size()));
    // Names dropped or given that are not taken: said, as the command line says them.
    if (notAdded_.size() == 1)
        parts.append(QStringLiteral("not added: %1 (%2)")
                         .arg(QFile::decodeName(QByteArray::fromStdString(notAdded_[0].first)),
                              QString::fromStdString(notAdded_[0].second)));
    else if (notAdded_.size() > 1)
        parts.append(QStringLiteral("%1 names not added (%2: %3, ...)")
                         .arg(notAdded_.size())
                         .arg(QFile::decodeName(QByteArray::fromStdString(notAdded_[0].first)),
                              QString::fromStdString(notAdded_[0].second)));
    // Their files are not in the list: said until the next batch.
    if (unreadableFolders_.size() == 1)
        parts.append(QStringLiteral("cannot read the folder %1")
                         .arg(QString::fromStdString(unreadableFolders_.front())));
    else if (unreadableFolders_.size() > 1)
        parts.append(QStringLiteral("cannot read %1 folders").arg(unreadableFolders_.size()));
    return parts.join(QStringLiteral(" \u00b7 "));
}

void MainDialog::UpdateStatus() {
    statusTimer_->stop();
    status_->setText(StatusText());
    status_->setToolTip(status_->text());
    const bool running = batchActive_ && queue_.ActiveJobs() > 0;
    if (running) {
        const double fraction = list_->Summarize(batch_).batchFraction;
        overall_->setValue(static_cast<int>(std::floor(fraction * 1000)));
        setWindowTitle(QStringLiteral("%1% - Tessival")
                           .arg(static_cast<int>(std::floor(fraction * 100))));
    } else {
        setWindowTitle(QStringLiteral("Tessival"));
    }
    overall_->setVisible(running);
}

std::vector<int> MainDialog::SelectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& index : listView_->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void MainDialog::ShowRowMenu(const QPoint& at) {
    std::vector<int> rows = SelectedRows();
    if (rows.empty()) {
        const QModelIndex index = listView_->indexAt(at);
        if (!index.isValid()) return;
        rows.push_back(index.row());
    }
    std::unique_ptr<QMenu> menu(MakeRowMenu(rows));
    menu->exec(listView_->viewport()->mapToGlobal(at));
}

QMenu* MainDialog::MakeRowMenu(std::vector<int> indices) {
    auto* menu = new QMenu(this);
    bool retry = false, remove = false;
    for (int i : indices) {
        retry = retry || list_->CanRetry(i);
        const int state = list_->index(i, 0).data(JobListModel::kJobStateRole).toInt();
        remove = remove || state == static_cast<int>(JobState::Failed) ||
                 state == static_cast<int>(JobState::Finished);
    }
    QAction* open = menu->addAction(QStringLiteral("Open Containing &Folder"), this, [this, indices] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(ContainingFolder(indices.front())));
    });
    open->setEnabled(indices.size() == 1);
    menu->addAction(QStringLiteral("&Copy Message"), this, [this, indices] {
        QStringList lines;
        for (int i : indices) {
            const QString text = list_->StateTextAt(i);
            lines.append(indices.size() == 1
                             ? text
                             : list_->index(i, JobListModel::kFilename).data().toString() +
                                   QStringLiteral(": ") + text);
        }
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
    });
    menu->addAction(QStringLiteral("&Retry"), this, [this, indices] { RetryRows(indices); })
        ->setEnabled(retry);
    menu->addAction(QStringLiteral("Re&move"), this, [this, indices] { RemoveRows(indices); })
        ->setEnabled(remove);
    return menu;
}

void MainDialog::RetryRows(const std::vector<int>& indices) {
    JobQueue::Batch batch(queue_);
    ++adding_;
    for (int i : indices) {
        if (!list_->CanRetry(i)) continue;
        JobRow* row = list_->RowAt(i);
        if (list_->IsQueuedOrRunning(row->path)) continue;  // queued again meanwhile
        StartBatchIfIdle();
        JobRow& again = list_->PrepareRetry(i, batch_);
        Submit(again, again.request);
    }
    --adding_;
    FinishBatchIfIdle(false);
    UpdateStatus();
}

void MainDialog::RemoveRows(const std::vector<int>& indices) {
    list_->RemoveEndedRows(indices);
    EnableClear();
}

QString MainDialog::ContainingFolder(int index) const {
    const JobRow* row = list_->RowAt(index);
    if (!row) return {};
    const JobRecord* record = list_->RecordAt(index);
    const Filesystem::Path& file = record && record->output ? *record->output : row->path;
    const std::string folder = file.Parent().NativeText();
    return folder.empty() ? QDir::currentPath() : QDir(FromNative(folder)).absolutePath();
}

bool MainDialog::RequestAbort() {
    if (queue_.ActiveJobs() != 0) {
        // No queued job starts while the question is open (they ran to "done" meanwhile).
        queue_.Hold(true);
        const auto answer = QMessageBox::warning(
            this, QStringLiteral("Tessival"), QStringLiteral("Abort queued jobs?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
        if (answer != QMessageBox::Yes) {
            queue_.Hold(false);
            return false;
        }
    }
    queue_.AbortAll();  // the hold ends with it
    if (queue_.ActiveJobs() == 0) return true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    WaitForJobsToEnd();
    QApplication::restoreOverrideCursor();
    return true;
}

void MainDialog::WaitForJobsToEnd() {
    // Jobs post their texts meanwhile; the user's input waits until the jobs have ended. A
    // batch being added may be open further up the stack (a stop signal came while a question
    // about it was open): it closes after this returns, so only the jobs are waited for.
    while (!queue_.WaitJobsEnded(std::chrono::milliseconds(50)))
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);  // the last texts
}

void MainDialog::CloseForSignal() {
    // No more work from here on: a box open now (a file dialog, a question) is closed as if
    // cancelled, and what it would add is not queued.
    stopping_ = true;
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == this) break;
        if (auto* box = qobject_cast<QDialog*>(modal))
            box->reject();
        else
            modal->close();
    }
    if (queue_.ActiveJobs() > 0) {
        queue_.AbortAll();
        WaitForJobsToEnd();
    }
    SaveSettings();
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
    SaveSettings();
    poster_.Detach();
    QDialog::reject();
}
