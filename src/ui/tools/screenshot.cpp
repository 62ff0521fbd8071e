// Makes the picture of the main window for the documentation: a few real jobs, some finished,
// one failed, two running and the rest queued, grabbed while the bars move. Optionally also
// writes the application icon as a PNG file.
//
//   tessival-screenshot <window.png> [<icon.png>]
//
// The inputs are written under <temp>/tessival-demo/Sessions/ and removed afterwards.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "ui/AppIcon.h"
#include "ui/JobList.h"
#include "ui/MainDialog.h"

namespace {

void PutLE(std::ofstream& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A stereo 16-bit 44100 Hz WAVE file of a soft two-tone chord, `seconds` long; with another
// `formatTag` than 1 (PCM) a file the readers refuse.
bool WriteChord(const std::string& path, double seconds, std::uint16_t formatTag = 1) {
    constexpr std::uint32_t rate = 44100;
    const auto frames = static_cast<std::uint32_t>(seconds * rate);
    const std::uint32_t dataBytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    PutLE(out, 36 + dataBytes, 4);
    out.write("WAVEfmt ", 8);
    PutLE(out, 16, 4);
    PutLE(out, formatTag, 2);
    PutLE(out, 2, 2);
    PutLE(out, rate, 4);
    PutLE(out, rate * 4, 4);
    PutLE(out, 4, 2);
    PutLE(out, 16, 2);
    out.write("data", 4);
    PutLE(out, dataBytes, 4);
    std::vector<char> block;
    block.reserve(4 * 4096);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double l = 0.3 * std::sin(2 * std::numbers::pi * 220.0 * t);
        const double r = 0.3 * std::sin(2 * std::numbers::pi * 329.63 * t);
        for (double v : {l, r}) {
            const auto s = static_cast<std::int16_t>(std::lround(v * 32767));
            block.push_back(static_cast<char>(s & 0xFF));
            block.push_back(static_cast<char>((s >> 8) & 0xFF));
        }
        if (block.size() >= 4 * 4096) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
            block.clear();
        }
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
    return static_cast<bool>(out);
}

// Processes events until `done` holds or `limitMs` passed.
template <class Predicate>
bool WaitFor(Predicate done, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs) return false;
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: tessival-screenshot <window.png> [<icon.png>]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setWindowIcon(MakeAppIcon());
    if (argc > 2 && !DrawAppIcon(256).save(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }

    QDir demo(QDir::tempPath() + QStringLiteral("/tessival-demo"));
    if (demo.exists()) demo.removeRecursively();
    const QString folder = demo.path() + QStringLiteral("/Sessions/");
    QDir().mkpath(folder);
    const struct {
        const char* name;
        double seconds;
    } inputs[] = {
        {"01 Prelude.wav", 4},     {"02 Allemande.wav", 5},  {"03 Courante.wav", 0},
        {"04 Sarabande.wav", 240}, {"05 Menuet I.wav", 240}, {"06 Menuet II.wav", 60},
        {"07 Gigue.wav", 60},
    };
    for (const auto& input : inputs) {
        const std::string path = (folder + QString::fromUtf8(input.name)).toStdString();
        // A compressed file stands for one the program cannot read: its row shows the failure.
        const std::uint16_t tag = input.seconds == 0 ? 0x55 : 1;
        if (!WriteChord(path, input.seconds == 0 ? 1 : input.seconds, tag)) {
            std::fprintf(stderr, "cannot write the demo inputs\n");
            return 1;
        }
    }

    int status = 0;
    {
        MainDialog dialog;
        dialog.show();
        // 96000 Hz, int24: chosen the way the user picks them from the lists.
        auto* rate = dialog.findChild<QComboBox*>(QStringLiteral("1003"));
        auto* type = dialog.findChild<QComboBox*>(QStringLiteral("1002"));
        const int rateIndex = rate->findText(QStringLiteral("96000"));
        rate->setCurrentIndex(rateIndex);
        emit rate->activated(rateIndex);
        type->setCurrentIndex(2);
        emit type->activated(2);

        const QByteArray folderName = folder.toLocal8Bit();
        dialog.AddPath(Filesystem::Path::FromNative(folderName.toStdString(),
                                                    Filesystem::Path::Kind::Directory));
        JobListModel& list = dialog.jobList();
        const auto ended = [&](int row) {
            const int s = list.index(row, 0).data(JobListModel::kJobStateRole).toInt();
            return s == static_cast<int>(JobState::Failed) ||
                   s == static_cast<int>(JobState::Finished);
        };
        const auto barAt = [&](int row) {
            const QVariant v = list.index(row, JobListModel::kState).data(JobListModel::kBarRole);
            return v.isValid() ? v.toDouble() : -1.0;
        };
        const bool ready = WaitFor(
            [&] {
                return list.rowCount() == 7 && ended(0) && ended(1) && ended(2) && barAt(3) > 0.4 &&
                       barAt(4) > 0.3;
            },
            300000);
        if (!ready) {
            std::fprintf(stderr, "the jobs did not reach the wanted state in time\n");
            status = 1;
        } else {
            dialog.findChild<QWidget*>(QStringLiteral("1000"))->setFocus();  // no text cursor
            if (!dialog.grab().save(QString::fromLocal8Bit(argv[1]))) {
                std::fprintf(stderr, "cannot write %s\n", argv[1]);
                status = 1;
            }
        }
        // Destroying the dialog stops the running jobs and waits for them.
    }
    demo.removeRecursively();
    return status;
}
