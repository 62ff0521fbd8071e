#include "ui/App.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "job/Conversion.h"
#include "job/FileAcceptance.h"
#include "job/StandardStreams.h"
#include "ui/AppIcon.h"
#include "ui/JobList.h"
#include "ui/MainDialog.h"

// Offers a key press to the shortcut map, as the window system's input does (exported by QtGui for
// Qt Test). True when a shortcut took it.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k,
                                               Qt::KeyboardModifiers mods,
                                               const QString& text = QString(), bool autorep = false,
                                               ushort count = 1);

namespace {

// Stop signals reach the event loop through a pipe: the handler only writes
// the signal's number, the window does the rest on its own thread.
int gSignalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int signal) {
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t n = write(gSignalPipe[1], &number, 1);
}

bool installStopSignals() {
    if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    InstallStopSignals(onStopSignal);
    return true;
}

// For the smoke test under a display server (scripts/smoke-gui): with TESSIVAL_SMOKE_SCREENSHOT
// set to a PNG path, the window grabs itself there once it holds rows and every job has ended,
// and prints "screenshot <path>". With TESSIVAL_SMOKE_CLOSE=1 it then presses its own quit key
// (Ctrl+Q), for displays without a tool to send keys.
void InstallSmokeHook(MainDialog& dialog) {
    const QString shot = qEnvironmentVariable("TESSIVAL_SMOKE_SCREENSHOT");
    if (shot.isEmpty()) return;
    const bool close = qEnvironmentVariable("TESSIVAL_SMOKE_CLOSE") == QStringLiteral("1");
    auto* timer = new QTimer(&dialog);
    timer->setInterval(200);
    QObject::connect(timer, &QTimer::timeout, &dialog, [&dialog, timer, shot, close] {
        if (dialog.jobList().rowCount() == 0 || dialog.jobQueue().ActiveJobs() != 0) return;
        timer->stop();
        dialog.UpdateStatus();
        const bool saved = dialog.grab().save(shot, "PNG");
        std::printf("%s %s\n", saved ? "screenshot" : "cannot write", qPrintable(shot));
        std::fflush(stdout);
        if (!close) return;
        // Window shortcuts reach the active window only.
        dialog.activateWindow();
        QTimer::singleShot(300, &dialog, [&dialog] {
            QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : &dialog;
            if (!qt_sendShortcutOverrideEvent(target, 0, Qt::Key_Q, Qt::ControlModifier,
                                              QStringLiteral("q")))
                std::printf("the quit key was not taken\n");
            std::fflush(stdout);
        });
    });
    timer->start();
}

}  // namespace

void QueueArguments(MainDialog& dialog, const std::vector<std::string>& names) {
    std::vector<Filesystem::Path> paths;
    for (std::string name : names) {
        std::error_code ec;
        if (std::filesystem::is_directory(name, ec)) name = FolderArgument(name);
        try {
            paths.push_back(Filesystem::Path::FromNative(name, Filesystem::Path::Kind::Either));
        } catch (const std::exception&) {
        }
    }
    dialog.AddPaths(paths);
}

int RunTessivalApp(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessival"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    QApplication::setDesktopFileName(QStringLiteral("tessival"));
    QApplication::setWindowIcon(MakeAppIcon());
    AnnounceInstructionSet();

    MainDialog dialog;
    // SIGINT, SIGTERM or SIGHUP (the session ends, a kill): the jobs are
    // aborted, their partial outputs deleted, and the program ends with
    // 128 + the signal's number, as if the signal had ended it.
    int stoppedBy = 0;
    std::unique_ptr<QSocketNotifier> stop;
    if (installStopSignals()) {
        stop = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(stop.get(), &QSocketNotifier::activated, &dialog, [&] {
            unsigned char number = 0;
            if (read(gSignalPipe[0], &number, 1) != 1 || stoppedBy != 0) return;
            stoppedBy = number;
            dialog.CloseForSignal();
        });
    }
    dialog.show();
    // The names as the bytes given (a name need not be valid text); Qt's own options are gone.
    QueueArguments(dialog, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
    // A stop signal may have come while a question about those names was open: the window
    // has been closed then, and is not shown again.
    if (stoppedBy == 0) {
        InstallSmokeHook(dialog);
        dialog.exec();
    }
    dialog.poster().Detach();
    return stoppedBy ? 128 + stoppedBy : 0;
}
