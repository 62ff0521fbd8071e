// Runs one group of the desktop-program tests on the offscreen platform:
//   ui_tests <poster|joblist|dialog> [QTest options]

#include <QApplication>
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
