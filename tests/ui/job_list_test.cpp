// The job list model: row texts, State texts and bars posted from workers, rows removed while
// work for them is still queued, and the delegate that paints the bar.

#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <atomic>
#include <cmath>
#include <thread>

#include "UiTestSupport.h"
#include "ui/JobList.h"
#include "ui/UIThreadPoster.h"

namespace {

Filesystem::Path FilePath(const char* text) {
    return Filesystem::Path::Parse(text, Filesystem::Path::Kind::File);
}

// Runs `body` on a thread of its own and waits for it, so the model sees a worker.
template <class Body>
void OnWorker(Body body) {
    std::thread worker(body);
    worker.join();
}

QVariant Bar(const JobListModel& list, int row) {
    return list.index(row, JobListModel::kState).data(JobListModel::kBarRole);
}

QString Text(const JobListModel& list, int row, int column) {
    return list.index(row, column).data().toString();
}

}  // namespace

class JobListTest final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        window_ = std::make_unique<QObject>();
        poster_ = std::make_unique<UIThreadPoster>();
        poster_->Attach(*window_);
        list_ = std::make_unique<JobListModel>(*poster_);
    }

    void cleanup() {
        poster_->Detach();
        list_.reset();
        poster_.reset();
        window_.reset();
    }

    void showsColumnsAndRowTexts() {
        QCOMPARE(list_->columnCount(), 3);
        QCOMPARE(list_->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("Filename"));
        QCOMPARE(list_->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("State"));
        QCOMPARE(list_->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("Path"));
        list_->AddRow(FilePath("/music/take 1.wav"));
        list_->AddRow(FilePath("/top.wv"));
        QCOMPARE(Text(*list_, 0, 0), QStringLiteral("take 1.wav"));
        QCOMPARE(Text(*list_, 0, 1), QString());
        QCOMPARE(Text(*list_, 0, 2), QStringLiteral("/music/"));
        QCOMPARE(Text(*list_, 1, 2), QStringLiteral("/"));
    }

    // A job whose reading ended while its file is stored (its bar hidden until the record
    // comes) keeps its share of the batch's fraction: the overall bar does not run back.
    void storingKeepsTheJobsShareOfTheBatch() {
        JobRow& row = list_->AddRow(FilePath("/storing.wav"), 9);
        const std::atomic<bool> abort{false};
        OnWorker([&] {
            row.state = JobState::Running;
            auto progress = row.MakeProgress(abort);
            progress->progress(3, 4, true);
            progress->finished();
        });
        QCoreApplication::processEvents();
        QVERIFY2(std::fabs(list_->Summarize(9).batchFraction - 0.75) < 1e-9,
                 qPrintable(QString::number(list_->Summarize(9).batchFraction)));
    }

    // The batch's fraction weighs rows by input length; records posted from workers set the
    // counts and the icons (none for a row the user aborted).
    void summaryWeighsByLengthAndCountsRecords() {
        QTemporaryDir dir;
        const std::string shortFile = dir.filePath(QStringLiteral("1s.wav")).toStdString();
        const std::string longFile = dir.filePath(QStringLiteral("3s.wav")).toStdString();
        QVERIFY(UiTest::WriteSineWav(shortFile, 1.0) && UiTest::WriteSineWav(longFile, 3.0));
        JobRow& done = list_->AddRow(FilePath(shortFile.c_str()), 7);
        list_->AddRow(FilePath(longFile.c_str()), 7);  // queued
        JobRow& aborted = list_->AddRow(FilePath("/old.wav"), 6);
        auto record = [](const JobRow& row, JobState state, std::string text,
                         std::vector<std::string> warnings) {
            JobRecord r;
            r.input = row.path;
            r.state = state;
            r.text = std::move(text);
            r.warnings = std::move(warnings);
            return r;
        };
        OnWorker([&] {
            done.OnEnded(record(done, JobState::Finished, "done, clipped 3 samples",
                                {"clipped 3 samples"}));
            done.state = JobState::Finished;
            aborted.OnEnded(record(aborted, JobState::Failed, "aborted",
                                   {"the partial output /o.wav.part could not be removed"}));
            aborted.SetStateText("aborted");
            aborted.state = JobState::Failed;
        });
        QCoreApplication::processEvents();
        const JobListModel::Summary s = list_->Summarize(7);
        QCOMPARE(s.done, 1);
        QCOMPARE(s.failed, 0);
        QCOMPARE(s.aborted, 1);  // the user's stop is not a failure of the file
        QCOMPARE(s.left, 1);
        QCOMPARE(s.inBatch, 2);
        QVERIFY2(std::fabs(s.batchFraction - 0.25) < 1e-9, qPrintable(QString::number(s.batchFraction)));
        QVERIFY(list_->index(0, 1).data(Qt::DecorationRole).isValid());  // the warning
        QVERIFY(!list_->index(2, 1).data(Qt::DecorationRole).isValid());
        QVERIFY(list_->CanRetry(2) && !list_->CanRetry(0) && !list_->CanRetry(1));
        // Warnings of a job that did not end done are in its tooltip, not its text.
        QCOMPARE(Text(*list_, 2, 1), QStringLiteral("aborted"));
        QCOMPARE(list_->index(2, 1).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("aborted\nwarning: the partial output /o.wav.part could not be "
                                "removed"));

        // An output that clipped is worth the warning icon without any other warning; a
        // skipped input is not "done"; a row the abort kept from running says so.
        JobRow& clipped = list_->AddRow(FilePath("/clip.wav"), 8);
        JobRow& skipped = list_->AddRow(FilePath("/skip.wav"), 8);
        JobRow& notRun = list_->AddRow(FilePath("/late.wav"), 8);
        JobRow& over = list_->AddRow(FilePath("/over.wav"), 8);
        OnWorker([&] {
            // Inter-sample peaks over full scale, nothing clamped: told, not "clipped".
            JobRecord v = record(over, JobState::Finished, "done, true peak +2.30 dBTP", {});
            v.peaks = PeakFigures{};
            v.peaks->truePeakDbtp = 2.3;
            over.OnEnded(v);
            over.state = JobState::Finished;
            JobRecord c = record(clipped, JobState::Finished, "done, clipped 3 samples", {});
            c.peaks = PeakFigures{};
            c.peaks->clampedSamples = 3;
            clipped.OnEnded(c);
            clipped.state = JobState::Finished;
            JobRecord k = record(skipped, JobState::Finished, "skipped", {});
            k.skipped = true;
            skipped.OnEnded(k);
            skipped.state = JobState::Finished;
        });
        notRun.SetStateText("queued");
        notRun.state = JobState::Finished;
        QCoreApplication::processEvents();
        const JobListModel::Summary t = list_->Summarize(8);  // counts of the whole list
        QCOMPARE(t.done, 3);
        QCOMPARE(t.clipped, 1);
        QVERIFY(list_->index(6, 1).data(Qt::DecorationRole).isValid());
        QCOMPARE(t.existing, 1);
        QCOMPARE(t.skipped, 1);
        QVERIFY(list_->index(3, 1).data(Qt::DecorationRole).isValid());
        QCOMPARE(Text(*list_, 5, 1), QStringLiteral("not run"));
        QCOMPARE(list_->StateTextAt(5), QStringLiteral("not run"));  // its tooltip and copy
        QCOMPARE(list_->index(5, 1).data(Qt::ToolTipRole).toString(), QStringLiteral("not run"));
        QCOMPARE(list_->index(5, 1).data(Qt::AccessibleTextRole).toString(),
                 QStringLiteral("not run"));

        // Clearing ended rows of a batch does not take its progress back, nor does clearing
        // them with rows of an earlier batch (batch 8 went back to 0 %).
        QCOMPARE(list_->RemoveEndedRows({0}), 1);
        QVERIFY2(std::fabs(list_->Summarize(7).batchFraction - 0.25) < 1e-9,
                 qPrintable(QString::number(list_->Summarize(7).batchFraction)));
        JobRow& running = list_->AddRow(FilePath("/run.wav"), 8);
        running.state = JobState::Running;
        QCOMPARE(list_->RemoveEndedRows(), 5);
        QVERIFY2(std::fabs(list_->Summarize(8).batchFraction - 0.8) < 1e-9,
                 qPrintable(QString::number(list_->Summarize(8).batchFraction)));
    }

    // A later job whose output replaced an ended row's output (Replace), under any spelling of
    // its name: that row, which said "done" of a file no longer there, says what replaced it,
    // with the warning icon.
    void aReplacedOutputIsToldOnItsRow() {
        JobRow& first = list_->AddRow(FilePath("/a.wav"), 1);
        JobRow& second = list_->AddRow(FilePath("/a.flac"), 2);
        JobRow& elsewhere = list_->AddRow(FilePath("/b.wav"), 2);
        const Filesystem::Path output =
            FilePath("/a [48000i16 speed=1.000 gain=1.00 delay=0.00].wav");
        auto end = [&](JobRow& row, const Filesystem::Path& out) {
            JobRecord r;
            r.input = row.path;
            r.output = out;
            r.state = JobState::Finished;
            r.text = "done";
            row.OnEnded(r);
            row.SetStateText("done");
            row.state = JobState::Finished;
        };
        end(first, output);
        end(elsewhere, FilePath("/b [48000i16 speed=1.000 gain=1.00 delay=0.00].wav"));
        QVERIFY(!list_->index(0, 1).data(Qt::DecorationRole).isValid());
        end(second, FilePath("/b/../a [48000i16 speed=1.000 gain=1.00 delay=0.00].wav"));
        QCOMPARE(list_->StateTextAt(0),
                 QStringLiteral("done; its output was then replaced by that of /a.flac"));
        QVERIFY(list_->index(0, 1).data(Qt::DecorationRole).isValid());
        QCOMPARE(list_->StateTextAt(1), QStringLiteral("done"));
        QCOMPARE(list_->StateTextAt(2), QStringLiteral("done"));
        QCOMPARE(list_->Summarize(2).done, 3);
    }

    void stateTextsArriveFromWorkersInOrder() {
        JobRow& row = list_->AddRow(FilePath("/a.wav"));
        row.SetStateText("queued");  // UI thread: at once
        QCOMPARE(Text(*list_, 0, 1), QStringLiteral("queued"));
        OnWorker([&] {
            row.SetStateText("");
            row.SetStateText("Could not open file");
        });
        QCOMPARE(Text(*list_, 0, 1), QStringLiteral("queued"));  // not before the UI runs it
        QCoreApplication::processEvents();
        QCOMPARE(Text(*list_, 0, 1), QStringLiteral("Could not open file"));
    }

    void barFollowsProgressOnlyWhileRunning() {
        JobRow& row = list_->AddRow(FilePath("/a.wav"));
        std::atomic<bool> abort{false};
        auto progress = row.MakeProgress(abort);
        row.state = JobState::Running;

        bool going = false;
        OnWorker([&] { going = progress->progress(0, 0, true); });  // length unknown
        QVERIFY(going);
        QVERIFY(!Bar(*list_, 0).isValid());
        QCoreApplication::processEvents();
        QCOMPARE(Bar(*list_, 0).toDouble(), 0.0);

        OnWorker([&] { progress->progress(30, 40, false); });
        QCoreApplication::processEvents();
        QCOMPARE(Bar(*list_, 0).toDouble(), 0.75);

        row.state = JobState::Queued;  // a bar shows only for a running job
        QVERIFY(!Bar(*list_, 0).isValid());
        row.state = JobState::Running;
        QCOMPARE(Bar(*list_, 0).toDouble(), 0.75);

        OnWorker([&] { progress->finished(); });
        QCoreApplication::processEvents();
        QVERIFY(!Bar(*list_, 0).isValid());

        // A later first report shows it again; the receiver's end hides it.
        OnWorker([&] { progress->progress(1, 2, true); });
        QCoreApplication::processEvents();
        QCOMPARE(Bar(*list_, 0).toDouble(), 0.5);
        OnWorker([&] { progress.reset(); });
        QCoreApplication::processEvents();
        QVERIFY(!Bar(*list_, 0).isValid());
    }

    void abortedProgressStopsAndPostsNothing() {
        JobRow& row = list_->AddRow(FilePath("/a.wav"));
        row.state = JobState::Running;
        std::atomic<bool> abort{false};
        auto progress = row.MakeProgress(abort);
        abort = true;
        QSignalSpy changes(list_.get(), &QAbstractItemModel::dataChanged);
        bool answer = true;
        OnWorker([&] { answer = progress->progress(5, 10, true); });
        QCoreApplication::processEvents();
        QVERIFY(!answer);
        QCOMPARE(changes.count(), 0);
        QVERIFY(!Bar(*list_, 0).isValid());
    }

    void workForARemovedRowIsDropped() {
        JobRow& ended = list_->AddRow(FilePath("/ended.wav"));
        JobRow& queued = list_->AddRow(FilePath("/queued.wav"));
        ended.state = JobState::Failed;
        std::atomic<bool> abort{false};
        auto progress = ended.MakeProgress(abort);
        OnWorker([&] {
            ended.SetStateText("late text");
            progress->progress(1, 2, true);
        });
        QCOMPARE(list_->RemoveEndedRows(), 1);
        QCOMPARE(list_->rowCount(), 1);
        QCOMPARE(list_->RowAt(0), &queued);
        JobRow& added = list_->AddRow(FilePath("/added.wav"));  // must not inherit the work
        added.state = JobState::Running;
        QCoreApplication::processEvents();
        QCOMPARE(Text(*list_, 0, 1), QString());
        QCOMPARE(Text(*list_, 1, 1), QString());
        QVERIFY(!Bar(*list_, 1).isValid());
        OnWorker([&] { progress.reset(); });
        QCoreApplication::processEvents();
        QCOMPARE(list_->rowCount(), 2);
    }

    void clearKeepsQueuedAndRunningRows() {
        const JobState states[] = {JobState::Finished, JobState::Queued, JobState::Failed,
                                   JobState::Running, JobState::Finished};
        for (JobState s : states) list_->AddRow(FilePath("/x.wav")).state = s;
        QCOMPARE(list_->RemoveEndedRows(), 3);
        QCOMPARE(list_->rowCount(), 2);
        QCOMPARE(list_->RowAt(0)->state.load(), JobState::Queued);
        QCOMPARE(list_->RowAt(1)->state.load(), JobState::Running);
        QVERIFY(list_->IsQueuedOrRunning(FilePath("/x.wav")));
        list_->RowAt(0)->state = JobState::Finished;
        list_->RowAt(1)->state = JobState::Failed;
        QVERIFY(!list_->IsQueuedOrRunning(FilePath("/x.wav")));
    }

    void delegatePaintsTheBarInTheStateCell() {
        QTreeView view;
        view.setModel(list_.get());
        view.setItemDelegate(new ProgressBarDelegate(&view));
        view.setRootIsDecorated(false);
        view.resize(400, 200);
        view.setColumnWidth(0, 150);
        view.setColumnWidth(1, 100);
        JobRow& row = list_->AddRow(FilePath("/a.wav"));
        std::atomic<bool> abort{false};
        auto progress = row.MakeProgress(abort);
        OnWorker([&] { progress->progress(10, 10, true); });
        QCoreApplication::processEvents();

        const auto stateCellCentre = [&] {
            const QRect cell = view.visualRect(list_->index(0, JobListModel::kState));
            return view.viewport()->grab().toImage().pixelColor(cell.center());
        };
        const QColor base = view.palette().color(QPalette::Base);
        QCOMPARE(stateCellCentre(), base);  // queued: no bar
        row.state = JobState::Running;
        const QColor chunk = stateCellCentre();
        const QColor highlight = view.palette().color(QPalette::Highlight);
        QVERIFY2(chunk != base, "no bar painted");
        QVERIFY(std::abs(chunk.hue() - highlight.hue()) < 20);
        progress.reset();
        QCoreApplication::processEvents();
        QCOMPARE(stateCellCentre(), base);
    }

private:
    std::unique_ptr<QObject> window_;
    std::unique_ptr<UIThreadPoster> poster_;
    std::unique_ptr<JobListModel> list_;
};

int RunJobListTests(int argc, char** argv) {
    JobListTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "job_list_test.moc"
