// Writes the application icon as a PNG file of 256 x 256 pixels (src/ui/resources/tessival.png,
// installed for the desktop entry).
//
//   tessival-icon <icon.png>

#include <QGuiApplication>
#include <cstdio>

#include "ui/AppIcon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessival-icon <icon.png>\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    if (!DrawAppIcon(256).save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
