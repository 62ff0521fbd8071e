// Runs one group of the desktop-program tests on the offscreen platform:
//   ui_tests <poster|joblist|dialog> [QTest options]

#include <QApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <vector>

int RunPosterTests(int argc, char** argv);
int RunJobListTests(int argc, char** argv);
int RunMainDialogTests(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_tests <poster|joblist|dialog> [QTest options]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Remembered settings (of dialogs made without a settings file, and of the programs the tests
    // start) go to a folder of the run's own, never to the user's.
    QTemporaryDir config;
    if (!config.isValid()) return 1;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    std::vector<char*> args{argv[0]};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    QApplication app(count, args.data());

    const char* group = argv[1];
    if (std::strcmp(group, "poster") == 0) return RunPosterTests(count, args.data());
    if (std::strcmp(group, "joblist") == 0) return RunJobListTests(count, args.data());
    if (std::strcmp(group, "dialog") == 0) return RunMainDialogTests(count, args.data());
    std::fprintf(stderr, "unknown test group %s\n", group);
    return 2;
}
