#include "ui/App.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QSocketNotifier>
#include <csignal>

#include "ui/AppIcon.h"
#include "ui/MainDialog.h"

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
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    return true;
}

}  // namespace

int RunTessivalApp(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessival"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    QApplication::setDesktopFileName(QStringLiteral("tessival"));
    QApplication::setWindowIcon(MakeAppIcon());

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
    // Files and folders named on the command line (a file manager's "Open
    // with") are queued with the settings the window starts with.
    for (const QString& name : QApplication::arguments().mid(1)) {
        const QByteArray bytes = QFile::encodeName(name);
        try {
            dialog.AddPath(Filesystem::Path::FromNative(
                std::string_view(bytes.constData(), bytes.size()), Filesystem::Path::Kind::File));
        } catch (const std::exception&) {
        }
    }
    dialog.exec();
    dialog.poster().Detach();
    return stoppedBy ? 128 + stoppedBy : 0;
}
