// The main dialog driven through its widgets: initial texts, field rules, drops, Add Files,
// Clear, real conversions, Abort All, closing and the About box.

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <cmath>
#include <csignal>
#include <fstream>
#include <limits>
#include <memory>

#include "UiTestSupport.h"
#include "support/NoPermissionOverride.h"
#include "threads/Pool.h"
#include "ui/App.h"
#include "ui/JobList.h"
#include "ui/MainDialog.h"

namespace {

constexpr int kJobTimeoutMs = 300000;

// Two gigabytes of silence (96000 Hz stereo 16-bit) in a sparse WAVE file: long enough to be
// stopped while it converts.
bool WriteLongSilence(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    const quint32 data = 0x7FFFFFF0u;
    QByteArray header("RIFF", 4);
    auto le = [&](quint32 v, int n) {
        for (int i = 0; i < n; ++i) header.append(char((v >> (8 * i)) & 0xFF));
    };
    le(36 + data, 4);
    header.append("WAVEfmt ", 8);
    le(16, 4), le(1, 2), le(2, 2), le(96000, 4), le(96000 * 4, 4), le(4, 2), le(16, 2);
    header.append("data", 4);
    le(data, 4);
    return f.write(header) == header.size() && f.resize(44 + qint64{data});
}

Filesystem::Path PathOf(const QString& text, Filesystem::Path::Kind kind) {
    return Filesystem::Path::Parse(QFile::encodeName(text).toStdString(), kind);
}

void WriteText(const QString& path, const char* text) {
    std::ofstream(QFile::encodeName(path).toStdString(), std::ios::binary) << text;
}

std::uint32_t ReadLE(const QByteArray& bytes, int at, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return v;
}

}  // namespace

class MainDialogTest final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        dialog_ = std::make_unique<MainDialog>(SettingsFile());
        dialog_->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
    }

    void cleanup() {
        dialog_.reset();  // stops and waits for jobs a failed test left running
        dir_.reset();
        QFile::remove(SettingsFile());  // each test starts with the defaults
    }

    void startsWithTheDefaultSettings() {
        QCOMPARE(dialog_->windowTitle(), QStringLiteral("Tessival"));
        QVERIFY(!dialog_->windowIcon().isNull());
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("44100"));
        QCOMPARE(Combo(1003)->count(), 15);
        QCOMPARE(Combo(1003)->itemText(14), QStringLiteral("3072000"));
        QCOMPARE(Combo(1002)->currentText(), QStringLiteral("int16"));
        QCOMPARE(Combo(1002)->count(), 6);
        QCOMPARE(Text(1004), QStringLiteral("100.000"));
        QCOMPARE(Text(1005), QStringLiteral("0.000"));
        QCOMPARE(Text(1006), QStringLiteral("0.000"));
        QCOMPARE(Text(1007), QStringLiteral("20000.00"));
        QCOMPARE(Text(1008), QStringLiteral("20000.00"));
        QVERIFY(!Edit(1007)->isEnabled());
        QVERIFY(Edit(1008)->isEnabled());
        QCOMPARE(Text(1009), QString());
        QCOMPARE(Text(1010), QString());
        QVERIFY(!Edit(1009)->isEnabled());
        QCOMPARE(Text(1011), QStringLiteral("97"));
        QVERIFY(!Edit(1011)->isEnabled());
        QVERIFY(Button(1012)->isChecked());
        QVERIFY(!Button(1013)->isChecked());
        QVERIFY(!Check(1001)->isChecked());
        QVERIFY(!Check(1014)->isChecked());
        QVERIFY(Button(1018)->isEnabled());
        QVERIFY(Button(1018)->isDefault());
        QVERIFY(!Button(1016)->isEnabled());
        QVERIFY(!Button(1017)->isEnabled());

        QCOMPARE(Button(1018)->text(), QStringLiteral("A&dd Files..."));
        QCOMPARE(Button(1016)->text(), QStringLiteral("Abort A&ll"));
        QCOMPARE(Button(1017)->text(), QStringLiteral("Cl&ear"));
        QCOMPARE(Button(1013)->text(), QStringLiteral("&Alias guard band\n (faster)"));
        QCOMPARE(Button(1012)->text(), QStringLiteral("&No aliasing\n (best quality)"));
        QCOMPARE(Check(1001)->text(), QStringLiteral("Keep &pre-ring (no click)"));
        QCOMPARE(Check(1014)->text(), QStringLiteral("S&ignal-to-noise ratio:"));
        QCOMPARE(LabelFor(Edit(1004))->text(), QStringLiteral("&Speed adjust:"));
        QCOMPARE(LabelFor(Combo(1003))->text(), QStringLiteral("Output &format:"));

        QTreeView* list = List();
        QCOMPARE(list->model()->rowCount(), 0);
        QCOMPARE(list->header()->sectionSize(0), 150);
        QCOMPARE(list->header()->sectionSize(1), 100);
        QCOMPARE(list->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    }

    void speedEnablesThePrespeedColumn() {
        Type(1004, "50");
        QCOMPARE(Settings().speed, 0.5);
        QVERIFY(Edit(1007)->isEnabled());
        QVERIFY(Edit(1009)->isEnabled());
        QCOMPARE(Text(1007), QStringLiteral("40000.00"));
        QCOMPARE(Text(1009), QString());
        QCOMPARE(Text(1004), QStringLiteral("50"));  // the edited field keeps what was typed
        QCOMPARE(LabelFor(Edit(1007))->text(), QStringLiteral("&Baseband max (Hz):"));
        LeaveField();
        QCOMPARE(Text(1004), QStringLiteral("50.000"));

        Type(1004, "0");
        QCOMPARE(Settings().speed, 1.0);
        QVERIFY(!Edit(1007)->isEnabled());
        QVERIFY(!Edit(1009)->isEnabled());
        QCOMPARE(Text(1007), QStringLiteral("20000.00"));
        QCOMPARE(LabelFor(Edit(1008))->text(), QStringLiteral("&Baseband max (Hz):"));
    }

    void gainAndOffsetAreReformattedWhenLeft() {
        Type(1005, "6");
        QVERIFY(std::fabs(Settings().gain - 1.9952623149688795) < 1e-12);
        QCOMPARE(Text(1005), QStringLiteral("6"));
        LeaveField();
        QCOMPARE(Text(1005), QStringLiteral("6.000"));
        Type(1006, "-12.5x");
        QCOMPARE(Settings().syncOffset, -12.5);
        LeaveField();
        QCOMPARE(Text(1006), QStringLiteral("-12.500"));
        // A decimal comma is a decimal point; the value used is the one shown.
        Type(1006, "2,5");
        QCOMPARE(Settings().syncOffset, 2.5);
        Type(1004, "99.9996");
        LeaveField();
        QCOMPARE(Text(1004), QStringLiteral("100.000"));
        QCOMPARE(Settings().speed, 1.0);
        // Enter confirms a typed value; it does not open the file dialog.
        int dialogs = 0;
        const QPointer<QTimer> watcher = UiTest::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
            ++dialogs;
            chooser->reject();
        });
        Type(1005, "-3");
        QTest::keyClick(Edit(1005), Qt::Key_Return);
        QCOMPARE(Text(1005), QStringLiteral("-3.000"));
        Combo(1003)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        QTest::keyClick(Find<QLineEdit>("outputFolder"), Qt::Key_Return);
        QCoreApplication::processEvents();
        QCOMPARE(dialogs, 0);
        delete watcher;
    }

    void bandEdgesStayOrderedAndClearToUnset() {
        Type(1010, "25000");
        QCOMPARE(Settings().stopbandMin, 25000.0);
        QCOMPARE(Text(1009), QStringLiteral("25000.00"));
        Type(1008, "30000");
        QCOMPARE(Settings().basebandMax, 25000.0);
        QCOMPARE(Text(1008), QStringLiteral("30000"));
        QCOMPARE(Text(1007), QStringLiteral("25000.00"));
        LeaveField();
        QCOMPARE(Text(1008), QStringLiteral("25000.00"));

        Type(1010, "");
        QCOMPARE(Settings().stopbandMin, std::numeric_limits<double>::infinity());
        QCOMPARE(Text(1009), QString());
        Type(1008, "0");
        QCOMPARE(Settings().basebandMax, std::numeric_limits<double>::infinity());
        QCOMPARE(Text(1007), QString());
        LeaveField();
        QCOMPARE(Text(1008), QString());
    }

    void snrFollowsTheSampleTypeUnlessSet() {
        ChooseByKeyboard(Combo(1002), 2);
        QCOMPARE(Combo(1002)->currentText(), QStringLiteral("int24"));
        QCOMPARE(dialog_->settings().outputFormat().lowByte, 0x23);
        QCOMPARE(Settings().snrDb, 145u);
        QCOMPARE(Text(1011), QStringLiteral("145"));

        QTest::mouseClick(Check(1014), Qt::LeftButton);
        QVERIFY(Edit(1011)->isEnabled());
        Type(1011, "12x");  // only digits get in
        QCOMPARE(Text(1011), QStringLiteral("12"));
        QCOMPARE(Settings().snrDb, 12u);
        LeaveField();  // below 30 dB the field shows, and keeps, the type's default
        QCOMPARE(Text(1011), QStringLiteral("145"));
        QCOMPARE(Settings().snrDb, 145u);
        Type(1011, "120");
        ChooseByKeyboard(Combo(1002), 4);  // fp32: a value of one's own survives
        QCOMPARE(Settings().snrDb, 120u);

        QTest::mouseClick(Check(1014), Qt::LeftButton);
        QVERIFY(!Edit(1011)->isEnabled());
        QCOMPARE(Settings().snrDb, 151u);
        QCOMPARE(Text(1011), QStringLiteral("151"));
    }

    void rateRadiosAndPreRing() {
        Type(1003, "4");
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("4"));
        QCOMPARE(dialog_->settings().outputRate(), 4.0f);
        Type(1003, "012345.50");
        QCOMPARE(dialog_->settings().outputRate(), 12345.5f);
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("012345.50"));
        LeaveField();
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("12345.5"));
        ChooseByKeyboard(Combo(1003), 2);
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("48000"));
        QCOMPARE(dialog_->settings().outputRate(), 48000.0f);

        QTest::mouseClick(Button(1013), Qt::LeftButton);
        QVERIFY(Settings().aliasGuardBand);
        QVERIFY(!Button(1012)->isChecked());
        QTest::mouseClick(Button(1012), Qt::LeftButton);
        QVERIFY(!Settings().aliasGuardBand);
        QVERIFY(!Button(1013)->isChecked());

        QTest::mouseClick(Check(1001), Qt::LeftButton);
        QVERIFY(!Settings().cropPreRing);
        QTest::mouseClick(Check(1001), Qt::LeftButton);
        QVERIFY(Settings().cropPreRing);
    }

    void droppingAFolderAddsItsAudioFilesOnce() {
        const QString root = dir_->path() + QStringLiteral("/drop");
        QVERIFY(QDir().mkpath(root + QStringLiteral("/sub")));
        for (const char* name : {"b.wav", "A.wv", "c.txt", "sub/e.wav", "sub/d.WAV", "z.mp3"})
            WriteText(root + QLatin1Char('/') + QLatin1String(name), "not audio");
        const QList<QUrl> folder{QUrl::fromLocalFile(root)};

        {
            UiTest::PoolBlocker blocker;  // every job stays queued
            Drop(dialog_.get(), folder);
            QCOMPARE(Column(0), (QStringList{"A.wv", "b.wav", "d.WAV", "e.wav"}));
            QCOMPARE(Column(1), (QStringList{"queued", "queued", "queued", "queued"}));
            QCOMPARE(Column(2).at(0), root + QLatin1Char('/'));
            QCOMPARE(Column(2).at(2), root + QStringLiteral("/sub/"));
            QVERIFY(Button(1016)->isEnabled());
            QVERIFY(Button(1017)->isEnabled());

            // Again, on the list, with a file twice and a new file: only the new one is added.
            const QString extra = root + QStringLiteral("/sub/f.wv");
            WriteText(extra, "not audio");
            Drop(List()->viewport(),
                 {QUrl::fromLocalFile(root), QUrl::fromLocalFile(root + QStringLiteral("/b.wav")),
                  QUrl::fromLocalFile(extra), QUrl::fromLocalFile(extra)});
            QCOMPARE(Column(0), (QStringList{"A.wv", "b.wav", "d.WAV", "e.wav", "f.wv"}));
        }
        WaitForJobs();
        for (int row = 0; row < 5; ++row)
            QCOMPARE(RowState(row), static_cast<int>(JobState::Failed));
        QVERIFY(!Column(1).contains(QStringLiteral("queued")));
        QTRY_VERIFY(!Button(1016)->isEnabled());

        // Ended jobs do not count as duplicates.
        Drop(dialog_.get(), folder);
        QCOMPARE(List()->model()->rowCount(), 10);
        WaitForJobs();
    }

    void dropIgnoresWhatIsNotAFile() {
        QMimeData text;
        text.setText(QStringLiteral("hello"));
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(dialog_.get(), &enter);
        QVERIFY(!enter.isAccepted());
        Drop(dialog_.get(), {QUrl(QStringLiteral("https://example.invalid/a.wav")),
                             QUrl::fromLocalFile(dir_->path() + QStringLiteral("/missing.wav"))});
        QCOMPARE(List()->model()->rowCount(), 0);
        QVERIFY(!Button(1017)->isEnabled());
        // A name that is not valid text arrives percent-encoded, and is taken as its bytes.
        const QByteArray folder = QFile::encodeName(dir_->path());
        QVERIFY(UiTest::WriteSineWav((folder + QByteArray("/caf\xe9.wav")).toStdString(), 0.1));
        UiTest::PoolBlocker blocker;
        Drop(dialog_.get(),
             {QUrl::fromEncoded("file://" + folder.toPercentEncoding("/") + "/caf%E9.wav")});
        QCOMPARE(List()->model()->rowCount(), 1);
        blocker.Release();
        WaitForJobs();
    }

    void clearRemovesOnlyEndedRows() {
        const QString bad = dir_->path() + QStringLiteral("/bad.wav");
        WriteText(bad, "RIFF");
        dialog_->AddPath(PathOf(bad, Filesystem::Path::Kind::File));
        WaitForJobs();
        QCOMPARE(RowState(0), static_cast<int>(JobState::Failed));
        {
            UiTest::PoolBlocker blocker;
            const QString waiting = dir_->path() + QStringLiteral("/waiting.wav");
            WriteText(waiting, "RIFF");
            dialog_->AddPath(PathOf(waiting, Filesystem::Path::Kind::File));
            dialog_->AddPath(PathOf(bad, Filesystem::Path::Kind::File));
            QCOMPARE(Column(0), (QStringList{"bad.wav", "waiting.wav", "bad.wav"}));
            QTest::mouseClick(Button(1017), Qt::LeftButton);
            QCOMPARE(Column(0), (QStringList{"waiting.wav", "bad.wav"}));
            QCOMPARE(Column(1), (QStringList{"queued", "queued"}));
            QVERIFY(Button(1017)->isEnabled());
        }
        WaitForJobs();
        QTest::mouseClick(Button(1017), Qt::LeftButton);
        QCOMPARE(List()->model()->rowCount(), 0);
        QVERIFY(!Button(1017)->isEnabled());
    }

    void aJobGoesFromQueuedThroughItsBarToDone() {
        const QString input = dir_->path() + QStringLiteral("/tone.wav");
        // Long enough for the UI thread to see the job running between its progress reports.
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(input).toStdString(), 60.0));
        ChooseByKeyboard(Combo(1003), 2);  // 48000 Hz

        JobListModel& list = dialog_->jobList();
        QStringList texts;
        double largestBar = -1;
        connect(&list, &QAbstractItemModel::dataChanged, this, [&](const QModelIndex& cell) {
            texts.append(cell.data().toString());
            const QVariant bar = cell.data(JobListModel::kBarRole);
            if (bar.isValid()) largestBar = std::max(largestBar, bar.toDouble());
        });
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        WaitForJobs();
        disconnect(&list, nullptr, this, nullptr);

        QCOMPARE(texts.value(0), QStringLiteral("queued"));
        QCOMPARE(texts.last(), QStringLiteral("done"));
        QVERIFY2(largestBar > 0.0, "the running job never showed its bar");
        QCOMPARE(RowState(0), static_cast<int>(JobState::Finished));
        QVERIFY(!list.index(0, 1).data(JobListModel::kBarRole).isValid());

        QStringList outputs = QDir(dir_->path()).entryList(QDir::Files);
        outputs.removeOne(QStringLiteral("tone.wav"));
        QCOMPARE(outputs.size(), 1);
        QVERIFY2(outputs[0].startsWith(QStringLiteral("tone [48000")), qPrintable(outputs[0]));
        QFile out(dir_->path() + QLatin1Char('/') + outputs[0]);
        QVERIFY(out.open(QIODevice::ReadOnly));
        const QByteArray header = out.read(64);
        QCOMPARE(header.left(4), QByteArray("RIFF"));
        QCOMPARE(ReadLE(header, 22, 2), 2u);      // channels
        QCOMPARE(ReadLE(header, 24, 4), 48000u);  // rate
        QCOMPARE(ReadLE(header, 34, 2), 16u);     // int16
        const double seconds = static_cast<double>(out.size() - 44) / (48000 * 4);
        QVERIFY2(std::fabs(seconds - 60.0) < 0.01, qPrintable(QString::number(seconds)));
    }

    void abortAllStopsRunningJobsAndSkipsQueuedOnes() {
        // As many long inputs as the pool has workers (they run), then three that wait.
        const auto workers = static_cast<int>(Threads::Pool::Instance().Workers());
        QStringList names;
        for (int i = 0; i < workers + 3; ++i) {
            const QString name = QStringLiteral("%1.wav").arg(i, 2, 10, QLatin1Char('0'));
            const double seconds = i < workers ? 240.0 : 1.0;
            QVERIFY(UiTest::WriteSineWav(
                QFile::encodeName(dir_->path() + QLatin1Char('/') + name).toStdString(), seconds));
            names.append(name);
        }
        ChooseByKeyboard(Combo(1003), 4);  // 96000 Hz
        dialog_->AddPath(PathOf(dir_->path(), Filesystem::Path::Kind::Directory));
        JobListModel& list = dialog_->jobList();
        for (int row = 0; row < workers; ++row)
            QTRY_VERIFY_WITH_TIMEOUT(list.index(row, 1).data(JobListModel::kBarRole).isValid(),
                                     kJobTimeoutMs);

        bool asked = false;
        UiTest::WhenModal<QMessageBox>([&](QMessageBox* box) {
            asked = box->text() == QStringLiteral("Abort queued jobs?") &&
                    box->icon() == QMessageBox::Warning;
            box->button(QMessageBox::Yes)->click();
        });
        QTest::mouseClick(Button(1016), Qt::LeftButton);  // returns when every job has ended
        QVERIFY(asked);
        QCOMPARE(dialog_->jobQueue().ActiveJobs(), 0);
        QVERIFY(!dialog_->jobQueue().AbortRequested());
        QVERIFY(!Button(1016)->isEnabled());
        for (int row = 0; row < workers + 3; ++row) {
            const bool ran = row < workers;
            QCOMPARE(Column(1).at(row),
                     ran ? QStringLiteral("aborted") : QStringLiteral("not run"));
            QCOMPARE(RowState(row), static_cast<int>(ran ? JobState::Failed : JobState::Finished));
            QVERIFY(!list.index(row, 1).data(JobListModel::kBarRole).isValid());
        }
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), names);  // no partial outputs

        // The abort is over: a job added now runs.
        ChooseByKeyboard(Combo(1003), 2);
        dialog_->AddPath(
            PathOf(dir_->path() + QLatin1Char('/') + names.last(), Filesystem::Path::Kind::File));
        WaitForJobs();
        QCOMPARE(Column(1).last(), QStringLiteral("done"));
    }

    void aFailedJobShowsItsReasonInTheCellAndTooltip() {
        const QString input = dir_->path() + QStringLiteral("/broken.wav");
        QFile broken(input);
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("RIFF\x04\x00\x00\x00WAVE", 12);  // no chunks at all
        broken.close();
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        WaitForJobs();
        QCOMPARE(RowState(0), static_cast<int>(JobState::Failed));
        // The command line prints the same text for the same file.
        const QString expected = QStringLiteral("???: Malformed RIFF-WAVE file");
        const QModelIndex cell = List()->model()->index(0, 1);
        QCOMPARE(cell.data().toString(), expected);
        QCOMPARE(cell.data(Qt::ToolTipRole).toString(), expected);
        QVERIFY(!cell.data(Qt::DecorationRole).value<QIcon>().isNull());
        QVERIFY(!List()->model()->index(0, 0).data(Qt::DecorationRole).isValid());
    }

    // The program itself, given a long file to convert: a stop signal aborts the job, deletes
    // its partial output and ends the program with 128 + the signal's number.
    void stopSignalsLeaveNoPartialOutput() {
        const QString input = dir_->path() + QStringLiteral("/long.wav");
        QVERIFY(WriteLongSilence(input));
        for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
            QProcess program;
            program.start(QStringLiteral(TESSIVAL_GUI), {input});
            QVERIFY(program.waitForStarted());
            // The job is running once its partial output exists.
            QTRY_VERIFY_WITH_TIMEOUT(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden).size() > 1,
                                     kJobTimeoutMs);
            ::kill(static_cast<pid_t>(program.processId()), signal);
            QVERIFY(program.waitForFinished(20000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 128 + signal);
            QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden),
                     QStringList{QStringLiteral("long.wav")});
        }
    }

    // The program given a name its question is about (an earlier output beside it, "ask once
    // per batch" remembered): a stop signal while the question is open, before the window's own
    // loop has started, ends it with 128 + the signal's number. (The window came back, its row
    // never queued, until someone closed it.)
    void aStopSignalDuringTheFirstQuestionEndsTheProgram() {
        QTemporaryDir config;
        QVERIFY(config.isValid());
        QVERIFY(QDir(config.path()).mkpath(QStringLiteral("Tessival")));
        QSettings remembered(config.path() + QStringLiteral("/Tessival/Tessival.conf"),
                             QSettings::IniFormat);
        remembered.setValue(QStringLiteral("settings/existingOutputs"), QStringLiteral("ask"));
        remembered.sync();
        const QString tone = ToneWithAnEarlierOutput();
        QVERIFY(!tone.isEmpty());
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(TESSIVAL_GUI), {tone});
        QVERIFY(program.waitForStarted());
        QTest::qWait(1500);  // the question is open (a signal before it takes the same path)
        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(20000));
        QCOMPARE(program.exitCode(), 128 + SIGTERM);
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    }

    // A stop signal while a box is open over the window (a file dialog, a question) closes the
    // box and the window, and what the box was about is not queued. (The program stayed with
    // the box open until someone answered it, then converted the files chosen.)
    void aStopSignalClosesAnOpenBox() {
        const QString input = ToneWithAnEarlierOutput();
        QVERIFY(!input.isEmpty());
        ChooseByKeyboard(Find<QComboBox>("existingOutputs"), 2);  // ask: a box while adding
        QVERIFY(AddWithAStopSignalAtTheQuestion(input));
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(!dialog_->isVisible());
        WaitForJobs();
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files).size(), 2);  // nothing converted
        for (const QString& text : Column(1))                           // nor skipped: no job ran
            QVERIFY2(text.isEmpty() || text == QStringLiteral("queued"), qPrintable(text));
    }

    // The same with a job running when the question opens: the job is aborted and its partial
    // output deleted (the window waited for the batch being added, which stays open under the
    // question, and hung).
    void aStopSignalDuringAQuestionAbortsTheRunningJob() {
        const QString tone = ToneWithAnEarlierOutput();
        const QString long_ = dir_->path() + QStringLiteral("/long.wav");
        QVERIFY(!tone.isEmpty());
        QVERIFY(WriteLongSilence(long_));
        ChooseByKeyboard(Find<QComboBox>("existingOutputs"), 2);  // ask: a box while adding
        dialog_->AddPath(PathOf(long_, Filesystem::Path::Kind::File));
        QTRY_COMPARE_WITH_TIMEOUT(RowState(0), static_cast<int>(JobState::Running), kJobTimeoutMs);
        QVERIFY(AddWithAStopSignalAtTheQuestion(tone));
        QVERIFY(!dialog_->isVisible());
        QCOMPARE(dialog_->jobQueue().ActiveJobs(), 0);
        QCOMPARE(Column(1).at(0), QStringLiteral("aborted"));
        QStringList left = QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden);
        left.sort();
        QCOMPARE(left, (QStringList{QStringLiteral("long.wav"),
                                    QStringLiteral("tone [44100i16 "
                                                   "speed=1.000 gain=1.00 delay=0.00].wav"),
                                    QStringLiteral("tone.wav")}));
    }

    void settingsNoJobCanRunWithFailTheRow() {
        Type(1004, "-50");
        const QString input = dir_->path() + QStringLiteral("/tone.wav");
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(input).toStdString(), 0.1));
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        QCOMPARE(RowState(0), static_cast<int>(JobState::Failed));
        QVERIFY(Column(1).at(0).contains(QStringLiteral("speed")));
        QCOMPARE(dialog_->jobQueue().ActiveJobs(), 0);
        QVERIFY(!Button(1016)->isEnabled());
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files).size(), 1);
    }

    void closingWithoutJobsClosesAtOnce() {
        bool asked = false;
        QPointer<QTimer> watcher = UiTest::WhenModal<QMessageBox>([&](QMessageBox* box) {
            asked = true;
            box->button(QMessageBox::No)->click();
        });
        QVERIFY(dialog_->close());
        QVERIFY(!asked);
        QVERIFY(!dialog_->isVisible());
        QCOMPARE(dialog_->result(), static_cast<int>(QDialog::Rejected));
        QVERIFY(!dialog_->poster().IsAttached());
        delete watcher.data();  // it must not answer a later test's question
    }

    void closingWithJobsAsksFirst() {
        auto blocker = std::make_unique<UiTest::PoolBlocker>();
        const QString input = dir_->path() + QStringLiteral("/tone.wav");
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(input).toStdString(), 0.1));
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));

        UiTest::WhenModal<QMessageBox>(
            [](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
        QTest::keyClick(dialog_.get(), Qt::Key_Escape);
        QVERIFY(dialog_->isVisible());
        QCOMPARE(dialog_->jobQueue().ActiveJobs(), 1);
        QVERIFY(!dialog_->jobQueue().AbortRequested());

        UiTest::WhenModal<QMessageBox>([&](QMessageBox* box) {
            box->button(QMessageBox::Yes)->click();
            // Once the abort is requested, the queued job may start; it must see the abort.
            QTimer::singleShot(100, [&] { blocker.reset(); });
        });
        dialog_->close();
        QVERIFY(!dialog_->isVisible());
        QCOMPARE(dialog_->jobQueue().ActiveJobs(), 0);
        QCOMPARE(Column(1).at(0), QStringLiteral("not run"));
        QCOMPARE(RowState(0), static_cast<int>(JobState::Finished));
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files).size(), 1);
    }

    // One file under several names in one addition (a link, the name twice) is one row, under
    // the name the command line keeps, and the others are told (a link whose file had ended
    // made a second output under the link's name).
    void aFileNamedTwiceIsAddedOnce() {
        UiTest::PoolBlocker blocker;
        const QString file = dir_->path() + QStringLiteral("/x.wav");
        const QString link = dir_->path() + QStringLiteral("/link.wav");
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(file).toStdString(), 0.1));
        QVERIFY(QFile::link(file, link));
        dialog_->AddPaths({PathOf(link, Filesystem::Path::Kind::File),
                           PathOf(file, Filesystem::Path::Kind::File),
                           PathOf(file, Filesystem::Path::Kind::File)});
        QCOMPARE(Column(0), QStringList{QStringLiteral("x.wav")});
        QVERIFY2(Find<QLabel>("status")->text().endsWith(QStringLiteral("not added: ") + link +
                                                         QStringLiteral(" (the same file as ") +
                                                         file + QStringLiteral(")")),
                 qPrintable(Find<QLabel>("status")->text()));
        // Named again while its job waits: counted too (it was dropped without a word).
        dialog_->AddPaths({PathOf(file, Filesystem::Path::Kind::File)});
        QCOMPARE(Column(0), QStringList{QStringLiteral("x.wav")});
        QVERIFY2(Find<QLabel>("status")->text().contains(QStringLiteral("2 names not added")),
                 qPrintable(Find<QLabel>("status")->text()));
        blocker.Release();
        WaitForJobs();
    }

    // A long status line is cut at the window's edge, whole in its tooltip; its width set the
    // window's least width.
    void aLongStatusLineKeepsTheWindowNarrow() {
        const QString missing = dir_->path() + QLatin1Char('/') + QString(200, QLatin1Char('n')) +
                                QStringLiteral(".wav");
        dialog_->AddPaths({PathOf(missing, Filesystem::Path::Kind::File)});
        QLabel* status = Find<QLabel>("status");
        QVERIFY2(status->text().contains(missing), qPrintable(status->text()));
        QCOMPARE(status->toolTip(), status->text());
        dialog_->layout()->activate();
        QVERIFY2(dialog_->minimumWidth() < 1000,
                 qPrintable(QString::number(dialog_->minimumWidth())));
        WaitForJobs();
    }

    void addFilesTakesTheChosenFiles() {
        for (const char* name : {"one.wav", "two.wv", "three.txt"})
            WriteText(dir_->path() + QLatin1Char('/') + QLatin1String(name), "x");
        QStringList filters;
        bool multiple = false;
        UiTest::WhenModal<QFileDialog>([&](QFileDialog* chooser) {
            filters = chooser->nameFilters();
            multiple = chooser->fileMode() == QFileDialog::ExistingFiles;
            // Typed into the name field, as a user would (selectFile leaves a focused field be).
            QStringList quoted;
            for (const char* name : {"two.wv", "one.wav", "three.txt"})
                quoted.append(QStringLiteral("\"%1/%2\"").arg(dir_->path(), QLatin1String(name)));
            auto* nameField = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(nameField);
            nameField->setText(quoted.join(QLatin1Char(' ')));
            static_cast<QDialog*>(chooser)->accept();  // QFileDialog::accept checks the names
        });
        QTest::mouseClick(Button(1018), Qt::LeftButton);
        QCOMPARE(filters, (QStringList{"Audio files (*.wav *.wv *.aif *.aiff *.aifc *.flac)", "All files (*)"}));
        QVERIFY(multiple);
        QCOMPARE(Column(0), (QStringList{"two.wv", "one.wav"}));
        QVERIFY(Button(1017)->isEnabled());
        WaitForJobs();
    }

    void aboutBoxFromF1AndTheContextMenu() {
        const QList<QAction*> actions = dialog_->actions();
        QCOMPARE(actions.size(), 3);  // About, a separator, Reset to defaults
        QCOMPARE(actions[0]->text(), QStringLiteral("&About..."));
        QCOMPARE(dialog_->contextMenuPolicy(), Qt::ActionsContextMenu);

        QString caption, version, description;
        bool hasIcon = false;
        UiTest::WhenModal<QDialog>([&](QDialog* about) {
            caption = about->windowTitle();
            version = about->findChild<QLabel*>(QStringLiteral("version"))->text();
            description = about->findChild<QLabel*>(QStringLiteral("description"))->text();
            hasIcon = !about->findChild<QLabel*>(QStringLiteral("icon"))->pixmap().isNull();
            about->accept();
        });
        QTest::keyClick(dialog_.get(), Qt::Key_F1);
        QCOMPARE(caption, QStringLiteral("About"));
        QCOMPARE(version, QStringLiteral("Tessival version 1.0"));
        QVERIFY(description.contains(QStringLiteral("sample rate")));
        QVERIFY(hasIcon);
        QVERIFY(dialog_->isVisible());
    }

    void aRetriedJobRunsWithItsOriginalSettings() {
        const QString input = dir_->path() + QStringLiteral("/take.wav");
        WriteText(input, "RIFF");
        ChooseByKeyboard(Combo(1003), 2);  // 48000 Hz: the row's own setting
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        WaitForJobs();
        QCOMPARE(RowState(0), static_cast<int>(JobState::Failed));
        QCOMPARE(dialog_->ContainingFolder(0), dir_->path());  // no output: the input's folder

        ChooseByKeyboard(Combo(1003), 4);  // 96000 Hz now; the retry keeps 48000
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(input).toStdString(), 0.2));
        std::unique_ptr<QMenu> menu(dialog_->MakeRowMenu({0}));
        QCOMPARE(MenuTexts(*menu), (QStringList{"Open Containing &Folder", "&Copy Message",
                                                "&Retry", "Re&move"}));
        QVERIFY(MenuAction(*menu, "&Retry")->isEnabled());
        MenuAction(*menu, "&Retry")->trigger();
        WaitForJobs();
        QCOMPARE(Column(1), QStringList{QStringLiteral("done")});
        QCOMPARE(List()->model()->rowCount(), 1);
        QStringList outputs = QDir(dir_->path()).entryList(QDir::Files);
        outputs.removeOne(QStringLiteral("take.wav"));
        QCOMPARE(outputs.size(), 1);
        QVERIFY2(outputs[0].startsWith(QStringLiteral("take [48000")), qPrintable(outputs[0]));
        QCOMPARE(dialog_->ContainingFolder(0), dir_->path());

        std::unique_ptr<QMenu> again(dialog_->MakeRowMenu({0}));
        QVERIFY(!MenuAction(*again, "&Retry")->isEnabled());  // done rows are not retried
        MenuAction(*again, "Re&move")->trigger();
        QCOMPARE(List()->model()->rowCount(), 0);
    }

    void outputsGoIntoTheChosenFolderAndContainer() {
        const QString input = dir_->path() + QStringLiteral("/in/tone.wav");
        const QString out = dir_->path() + QStringLiteral("/out");
        QVERIFY(QDir().mkpath(dir_->path() + QStringLiteral("/in")) && QDir().mkpath(out));
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(input).toStdString(), 0.2));
        QTest::keyClicks(Find<QLineEdit>("outputFolder"), out);  // typing picks "Into folder"
        QVERIFY(Find<QRadioButton>("outputIntoFolder")->isChecked());
        ChooseByKeyboard(Find<QComboBox>("container"), 1);
        QCOMPARE(Find<QComboBox>("container")->currentText(), QStringLiteral("WavPack (.wv)"));

        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        WaitForJobs();
        QCOMPARE(Column(1), QStringList{QStringLiteral("done")});
        const QStringList outputs = QDir(out).entryList(QDir::Files);
        QCOMPARE(outputs.size(), 1);
        QVERIFY2(outputs[0].startsWith(QStringLiteral("tone [")) &&
                     outputs[0].endsWith(QStringLiteral(".wv")),
                 qPrintable(outputs[0]));
        QCOMPARE(QDir(dir_->path() + QStringLiteral("/in")).entryList(QDir::Files).size(), 1);
        QCOMPARE(dialog_->ContainingFolder(0), out);

        // A folder's files keep their sub-folders below the output folder.
        const QString nested = dir_->path() + QStringLiteral("/in/sub/tone.wav");
        QVERIFY(QDir().mkpath(dir_->path() + QStringLiteral("/in/sub")));
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(nested).toStdString(), 0.2));
        QFile::remove(out + QStringLiteral("/") + outputs[0]);
        dialog_->AddPath(PathOf(dir_->path() + QStringLiteral("/in"), Filesystem::Path::Kind::Directory));
        WaitForJobs();
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 1);
        QCOMPARE(QDir(out + QStringLiteral("/sub")).entryList(QDir::Files).size(), 1);

        QTest::keyClick(dialog_.get(), Qt::Key_X, Qt::AltModifier);  // "Ne&xt to each input"
        QTRY_VERIFY(Find<QRadioButton>("outputNextToInput")->isChecked());
        QVERIFY(!dialog_->settings().outputFolder());

        // Emptying the field says outputs go next to their inputs; a relative folder is the one
        // below the current folder, whatever the current folder is later.
        QLineEdit* field = Find<QLineEdit>("outputFolder");
        QTest::keyClicks(field, QStringLiteral("x"));
        QVERIFY(Find<QRadioButton>("outputIntoFolder")->isChecked());
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QVERIFY(Find<QRadioButton>("outputNextToInput")->isChecked());
        QVERIFY(!dialog_->settings().outputFolder());
        QTest::keyClicks(field, QStringLiteral("rel/out"));
        QCOMPARE(dialog_->settings().outputFolder()->NativeText(),
                 QFile::encodeName(QDir::currentPath()).toStdString() + "/rel/out/");
    }

    void settingsSurviveARestartAndReset() {
        ChooseByKeyboard(Combo(1003), 2);  // 48000
        ChooseByKeyboard(Combo(1002), 2);  // int24
        Type(1004, "50");
        LeaveField();
        QTest::mouseClick(Check(1001), Qt::LeftButton);
        ChooseByKeyboard(Find<QComboBox>("existingOutputs"), 2);
        QTest::keyClicks(Find<QLineEdit>("outputFolder"), dir_->path());
        QTest::keyClick(dialog_.get(), Qt::Key_V, Qt::AltModifier);  // "Pre&vent clipping"
        QTRY_VERIFY(Find<QCheckBox>("preventClipping")->isChecked());
        QTest::mouseClick(Find<QCheckBox>("exactLength"), Qt::LeftButton);
        QVERIFY(Find<QCheckBox>("copyMetadata")->isChecked());  // on by default
        Find<QCheckBox>("copyMetadata")->click();
        dialog_.reset();

        dialog_ = std::make_unique<MainDialog>(SettingsFile());
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("48000"));
        QCOMPARE(Combo(1002)->currentText(), QStringLiteral("int24"));
        QCOMPARE(Text(1004), QStringLiteral("50.000"));
        QVERIFY(Edit(1007)->isEnabled());
        QCOMPARE(Text(1011), QStringLiteral("145"));
        QVERIFY(Check(1001)->isChecked());
        QCOMPARE(Find<QComboBox>("existingOutputs")->currentText(),
                 QStringLiteral("Ask once per batch"));
        QVERIFY(Find<QRadioButton>("outputIntoFolder")->isChecked());
        QCOMPARE(Find<QLineEdit>("outputFolder")->text(), dir_->path());
        QCOMPARE(dialog_->settings().request().outputFolder->NativeText(),
                 QFile::encodeName(dir_->path()).toStdString() + "/");
        QVERIFY(Find<QCheckBox>("preventClipping")->isChecked());
        QVERIFY(Find<QCheckBox>("exactLength")->isChecked());
        QVERIFY(dialog_->settings().request().settings.preventClipping);
        QVERIFY(dialog_->settings().request().settings.exactLength);
        QVERIFY(!Find<QCheckBox>("copyMetadata")->isChecked());
        QVERIFY(!dialog_->settings().request().settings.copyMetadata);

        // The settings area's context menu puts everything back.
        dialog_->actions().at(2)->trigger();
        QCOMPARE(dialog_->actions().at(2)->text(), QStringLiteral("&Reset to defaults"));
        QCOMPARE(Combo(1003)->currentText(), QStringLiteral("44100"));
        QCOMPARE(Combo(1002)->currentText(), QStringLiteral("int16"));
        QCOMPARE(Text(1004), QStringLiteral("100.000"));
        QVERIFY(!Edit(1007)->isEnabled());
        QVERIFY(!Check(1001)->isChecked());
        QVERIFY(Find<QRadioButton>("outputNextToInput")->isChecked());
        QCOMPARE(Find<QComboBox>("existingOutputs")->currentText(), QStringLiteral("Replace"));
        QVERIFY(!Find<QCheckBox>("preventClipping")->isChecked());
        QVERIFY(!dialog_->settings().request().settings.exactLength);
        QVERIFY(Find<QCheckBox>("copyMetadata")->isChecked());
    }

    void argumentsAreQueuedWithTheRememberedSettings() {
        ChooseByKeyboard(Combo(1003), 2);  // 48000, remembered
        dialog_.reset();
        const QString file = dir_->path() + QStringLiteral("/a.wav");
        const QString folder = dir_->path() + QStringLiteral("/more");
        QVERIFY(QDir().mkpath(folder));
        WriteText(file, "RIFF");
        WriteText(folder + QStringLiteral("/b.wv"), "x");

        UiTest::PoolBlocker blocker;
        dialog_ = std::make_unique<MainDialog>(SettingsFile());
        // A name that is not valid text is a name all the same; "." is the folder it names.
        const QByteArray latin1 = QFile::encodeName(dir_->path()) + QByteArray("/caf\xe9.wav");
        QVERIFY(UiTest::WriteSineWav(latin1.toStdString(), 0.1));
        QVERIFY(QDir().mkpath(dir_->path() + QStringLiteral("/here/sub")));
        WriteText(dir_->path() + QStringLiteral("/here/sub/c.wav"), "RIFF");
        const QString home = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir_->path() + QStringLiteral("/here/sub")));
        QueueArguments(*dialog_,
                       {QFile::encodeName(file).toStdString(),
                        QFile::encodeName(folder).toStdString(), latin1.toStdString(), "..",
                        QFile::encodeName(dir_->path() + "/missing.wav").toStdString()});
        QDir::setCurrent(home);
        QCOMPARE(Column(0).size(), 4);
        QCOMPARE(Column(0).mid(0, 2), (QStringList{"a.wav", "b.wv"}));
        QCOMPARE(Column(0).at(3), QStringLiteral("c.wav"));
        for (int row = 0; row < 4; ++row)
            QCOMPARE(dialog_->jobList().RowAt(row)->request.outputRate, 48000.0f);
        // The name not taken is told, as the command line tells it.
        QVERIFY2(Find<QLabel>("status")->text().endsWith(
                     QStringLiteral("not added: ") + dir_->path() +
                     QStringLiteral("/missing.wav (no such file or directory)")),
                 qPrintable(Find<QLabel>("status")->text()));
        blocker.Release();
        WaitForJobs();
    }

    void theStatusLineCountsDuringAndAfterABatch() {
        QLabel* status = Find<QLabel>("status");
        QCOMPARE(status->text(), QString());  // the empty list shows its hint instead
        QStringList inputs;
        for (const char* name : {"1.wav", "2.wav"}) {
            inputs.append(dir_->path() + QLatin1Char('/') + QLatin1String(name));
            QVERIFY(UiTest::WriteSineWav(QFile::encodeName(inputs.last()).toStdString(), 0.2));
        }
        inputs.append(dir_->path() + QStringLiteral("/3.wav"));
        WriteText(inputs.last(), "RIFF");
        {
            UiTest::PoolBlocker blocker;
            for (const QString& input : inputs)
                dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
            QTRY_COMPARE(status->text(), QStringLiteral("0 done, 0 failed, 3 left \u00b7 0%"));
            QCOMPARE(dialog_->windowTitle(), QStringLiteral("0% - Tessival"));
            QVERIFY(Find<QProgressBar>("overallProgress")->isVisible());
        }
        WaitForJobs();
        QTRY_COMPARE(status->text(), QStringLiteral("2 done, 1 failed, 0 left"));
        QCOMPARE(dialog_->windowTitle(), QStringLiteral("Tessival"));
        QVERIFY(!Find<QProgressBar>("overallProgress")->isVisible());
    }

    void deleteRemovesEndedRowsOnly() {
        const QString bad = dir_->path() + QStringLiteral("/bad.wav");
        WriteText(bad, "RIFF");
        dialog_->AddPath(PathOf(bad, Filesystem::Path::Kind::File));
        WaitForJobs();
        UiTest::PoolBlocker blocker;
        const QString waiting = dir_->path() + QStringLiteral("/waiting.wav");
        WriteText(waiting, "RIFF");
        dialog_->AddPath(PathOf(waiting, Filesystem::Path::Kind::File));
        List()->setFocus();
        List()->selectAll();
        QTest::keyClick(List(), Qt::Key_Delete);
        QCOMPARE(Column(0), QStringList{QStringLiteral("waiting.wav")});
        blocker.Release();
        WaitForJobs();
    }

    // Issue 21 leftovers: one file under a second spelling or through a link is one row, and a
    // folder walk says how many earlier outputs it left out.
    void aFileIsAddedOnceWhateverItsSpelling() {
        const QString input = dir_->path() + QStringLiteral("/x.wav");
        WriteText(input, "RIFF");
        QVERIFY(QDir().mkpath(dir_->path() + QStringLiteral("/sub")));
        QVERIFY(QFile::link(input, dir_->path() + QStringLiteral("/link.wav")));
        WriteText(dir_->path() + QStringLiteral("/sub/x [48000i16 speed=1.000 gain=0.00 delay=0.00].wav"),
                  "RIFF");
        {
            UiTest::PoolBlocker blocker;
            for (const QString& spelling :
                 {input, dir_->path() + QStringLiteral("/sub/../x.wav"),
                  dir_->path() + QStringLiteral("//x.wav"), dir_->path() + QStringLiteral("/link.wav")})
                dialog_->AddPath(PathOf(spelling, Filesystem::Path::Kind::File));
            QCOMPARE(Column(0), QStringList{QStringLiteral("x.wav")});
            Drop(List()->viewport(), {QUrl::fromLocalFile(dir_->path() + QStringLiteral("/sub"))});
            QCOMPARE(List()->model()->rowCount(), 1);
            // The other spellings, each added while the first waits, are named.
            QTRY_VERIFY2(Find<QLabel>("status")->text().contains(
                             QStringLiteral("1 earlier output in the folders not added · 3 names "
                                            "not added (") +
                             dir_->path() +
                             QStringLiteral("/sub/../x.wav: queued or converting "
                                            "already, ...)")),
                         qPrintable(Find<QLabel>("status")->text()));
        }
        WaitForJobs();
    }

    // A folder the walk cannot read is named in the status line: its files are not in the list.
    void anUnreadableFolderIsNamed() {
        const QString locked = dir_->path() + QStringLiteral("/locked");
        QVERIFY(QDir().mkpath(locked));
        WriteText(locked + QStringLiteral("/a.wav"), "RIFF");
        QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions{}));
        {
            UiTest::PoolBlocker blocker;
            TestSupport::NoPermissionOverride obey;
            dialog_->AddPath(PathOf(dir_->path(), Filesystem::Path::Kind::Directory));
        }
        QVERIFY(QFile::setPermissions(
            locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QCOMPARE(List()->model()->rowCount(), 0);
        QTRY_VERIFY2(Find<QLabel>("status")->text().endsWith(
                         QStringLiteral("cannot read the folder ") + locked),
                     qPrintable(Find<QLabel>("status")->text()));
    }

    // An earlier output in the sub-folder a walk mirrors below the output folder is asked about
    // as one in the output folder itself is.
    void askAboutExistingOutputsInMirroredFolders() {
        const QString out = dir_->path() + QStringLiteral("/out");
        QVERIFY(QDir().mkpath(dir_->path() + QStringLiteral("/in/sub")) &&
                QDir().mkpath(out + QStringLiteral("/sub")));
        WriteText(dir_->path() + QStringLiteral("/in/sub/take.wav"), "RIFF");
        WriteText(out + QStringLiteral("/sub/take [44100i16 speed=1.000 gain=0.00 delay=0.00].wav"),
                  "RIFF");
        QTest::keyClicks(Find<QLineEdit>("outputFolder"), out);
        ChooseByKeyboard(Find<QComboBox>("existingOutputs"), 2);
        int asked = 0;
        UiTest::PoolBlocker blocker;
        QPointer<QTimer> watcher = AnswerSkip(asked);
        dialog_->AddPath(
            PathOf(dir_->path() + QStringLiteral("/in"), Filesystem::Path::Kind::Directory));
        delete watcher.data();
        QCOMPARE(asked, 1);
        QCOMPARE(dialog_->jobList().RowAt(0)->request.ifExists, IfExists::Skip);
        blocker.Release();
        WaitForJobs();
    }

    // A file added together with another one and named as its output is an input too: it is
    // converted as it was, and the job that would replace it fails, whichever starts first.
    void anOutputNeverReplacesAnAddedFile() {
        const QString input = dir_->path() + QStringLiteral("/a.wav");
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(input).toStdString(), 0.1));
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        WaitForJobs();
        QStringList files = QDir(dir_->path()).entryList(QDir::Files);
        files.removeOne(QStringLiteral("a.wav"));
        QCOMPARE(files.size(), 1);
        const QString named = dir_->path() + QLatin1Char('/') + files[0];  // a's output name
        QVERIFY(UiTest::WriteSineWav(QFile::encodeName(named).toStdString(), 0.3));
        QFile f(named);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray before = f.readAll();
        f.close();
        dialog_->Clear();
        {
            UiTest::PoolBlocker blocker;
            dialog_->AddPaths({PathOf(named, Filesystem::Path::Kind::File),
                               PathOf(input, Filesystem::Path::Kind::File)});
        }
        WaitForJobs();
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), before);
        const QStringList states = Column(1);
        QCOMPARE(states.size(), 2);
        QVERIFY2(states.contains(QStringLiteral("done")), qPrintable(states.join('|')));
        QVERIFY2(states.filter(QStringLiteral("an input of this batch")).size() == 1,
                 qPrintable(states.join('|')));
    }

    void askOncePerBatchAboutExistingOutputs() {
        for (const char* name : {"t.wav", "t [44100i16 speed=1.000 gain=0.00 delay=0.00].wav",
                                 "u.wav", "u [44100i16 speed=1.000 gain=0.00 delay=0.00].wav"})
            WriteText(dir_->path() + QLatin1Char('/') + QLatin1String(name), "RIFF");
        ChooseByKeyboard(Find<QComboBox>("existingOutputs"), 2);
        int asked = 0;
        UiTest::PoolBlocker blocker;
        QPointer<QTimer> watcher = AnswerSkip(asked);
        for (const char* name : {"t.wav", "u.wav"})
            dialog_->AddPath(PathOf(dir_->path() + QLatin1Char('/') + QLatin1String(name),
                                    Filesystem::Path::Kind::File));
        delete watcher.data();
        QCOMPARE(asked, 1);
        QCOMPARE(List()->model()->rowCount(), 2);
        for (int row = 0; row < 2; ++row)
            QCOMPARE(dialog_->jobList().RowAt(row)->request.ifExists, IfExists::Skip);
        blocker.Release();
        WaitForJobs();
    }

    void anEmptyListShowsWhereToDrop() {
        QWidget* viewport = List()->viewport();
        const QImage empty = viewport->grab().toImage();
        const QColor background = viewport->palette().color(QPalette::Base);
        int inked = 0;
        for (int y = 0; y < empty.height(); ++y)
            for (int x = 0; x < empty.width(); ++x) inked += empty.pixelColor(x, y) != background;
        QVERIFY2(inked > 200, qPrintable(QString::number(inked)));  // the hint's letters
        QVERIFY(List()->accessibleDescription().contains(QStringLiteral("Drop")));
    }

    void keyboardReachesTheNewControlsInLayoutOrder() {
        QCOMPARE(List()->accessibleName(), QStringLiteral("Job list"));
        QCOMPARE(Find<QProgressBar>("overallProgress")->accessibleName(),
                 QStringLiteral("Overall progress"));
        // Tab from the SNR box (its field is disabled): the checked radio of the output group, then
        // on through the group to Add Files.
        const QList<QWidget*> order{Check(1014), Find<QRadioButton>("outputNextToInput"),
                                    Find<QLineEdit>("outputFolder"), Find<QPushButton>("browseFolder"),
                                    Find<QComboBox>("container"), Find<QComboBox>("existingOutputs"),
                                    Find<QCheckBox>("copyMetadata"), Find<QCheckBox>("preventClipping"),
                                    Find<QCheckBox>("exactLength"),
                                    Button(1018), List()};  // Abort All and Clear disabled
        order[0]->setFocus();
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), order[i]);
        }
        QCOMPARE(LabelFor(Find<QComboBox>("container"))->text(), QStringLiteral("&Container:"));
        QCOMPARE(LabelFor(Find<QComboBox>("existingOutputs"))->text(),
                 QStringLiteral("Existing outp&ut:"));
    }

private:
    template <class T>
    T* Find(int id) const {
        return Find<T>(QString::number(id).toLatin1().constData());
    }
    template <class T>
    T* Find(const char* name) const {
        T* widget = dialog_->findChild<T*>(QLatin1String(name));
        if (!widget) qFatal("control %s missing", name);
        return widget;
    }

    static QStringList MenuTexts(const QMenu& menu) {
        QStringList texts;
        for (const QAction* action : menu.actions()) texts.append(action->text());
        return texts;
    }
    static QAction* MenuAction(const QMenu& menu, const char* text) {
        for (QAction* action : menu.actions())
            if (action->text() == QLatin1String(text)) return action;
        qFatal("no menu entry %s", text);
    }
    QComboBox* Combo(int id) const { return Find<QComboBox>(id); }
    QLineEdit* Edit(int id) const {
        return id == 1003 ? Combo(1003)->lineEdit() : Find<QLineEdit>(id);
    }
    QCheckBox* Check(int id) const { return Find<QCheckBox>(id); }
    QPushButton* Button(int id) const { return Find<QPushButton>(id); }
    QTreeView* List() const { return Find<QTreeView>(1000); }
    QString Text(int id) const { return Edit(id)->text(); }
    QString SettingsFile() const { return config_.filePath(QStringLiteral("settings.ini")); }
    const ConversionSettings& Settings() const { return dialog_->settings().settings(); }

    QLabel* LabelFor(QWidget* buddy) const {
        for (QLabel* label : dialog_->findChildren<QLabel*>())
            if (label->buddy() == buddy) return label;
        qFatal("no label");
    }

    // Replaces the field's text by typing, as a user would.
    void Type(int id, const char* text) {
        QLineEdit* edit = Edit(id);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, QString::fromLatin1(text));
    }

    // Moves the focus away from the field being edited.
    void LeaveField() { Button(1012)->setFocus(); }

    // Selects entry `index` of a closed combo box with the arrow keys.
    void ChooseByKeyboard(QComboBox* combo, int index) {
        combo->setFocus();
        while (combo->currentIndex() < index) QTest::keyClick(combo, Qt::Key_Down);
        while (combo->currentIndex() > index) QTest::keyClick(combo, Qt::Key_Up);
    }

    // Answers the question about existing outputs with Skip, counting the times it is asked;
    // delete the watcher when done.
    static QPointer<QTimer> AnswerSkip(int& asked) {
        return UiTest::WhenModal<QMessageBox>([&asked](QMessageBox* box) {
            ++asked;
            for (QAbstractButton* button : box->buttons())
                if (button->text() == QStringLiteral("&Skip")) button->click();
        });
    }

    void Drop(QWidget* target, const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QVERIFY(data.hasFormat(QStringLiteral("text/uri-list")));
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        QVERIFY(drop.isAccepted());
    }

    QStringList Column(int column) const {
        QStringList texts;
        const QAbstractItemModel* model = List()->model();
        for (int row = 0; row < model->rowCount(); ++row)
            texts.append(model->index(row, column).data().toString());
        return texts;
    }

    // Adds `input`, sending the stop signal while the question about it is open; whether the
    // question came.
    bool AddWithAStopSignalAtTheQuestion(const QString& input) {
        bool asked = false;
        UiTest::WhenModal<QMessageBox>([&](QMessageBox*) {
            asked = true;
            dialog_->CloseForSignal();
        });
        dialog_->AddPath(PathOf(input, Filesystem::Path::Kind::File));
        return asked;
    }

    // tone.wav in the test's folder with an output of an earlier run beside it (what "ask once
    // per batch" asks about); its path, or "" when it could not be written.
    QString ToneWithAnEarlierOutput() const {
        const QString tone = dir_->path() + QStringLiteral("/tone.wav");
        const QString earlier =
            dir_->path() + QStringLiteral("/tone [44100i16 speed=1.000 gain=1.00 delay=0.00].wav");
        for (const QString& path : {tone, earlier})
            if (!UiTest::WriteSineWav(QFile::encodeName(path).toStdString(), 0.1)) return {};
        return tone;
    }

    int RowState(int row) const {
        return List()->model()->index(row, 0).data(JobListModel::kJobStateRole).toInt();
    }

    void WaitForJobs() {
        QTRY_COMPARE_WITH_TIMEOUT(dialog_->jobQueue().ActiveJobs(), 0, kJobTimeoutMs);
        QCoreApplication::processEvents();  // the texts the last job posted
    }

    QTemporaryDir config_;  // the remembered settings of every dialog of the group
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<MainDialog> dialog_;
};

int RunMainDialogTests(int argc, char** argv) {
    MainDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "main_dialog_test.moc"
