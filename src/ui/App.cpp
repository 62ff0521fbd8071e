#include "ui/App.h"

#include <QApplication>

#include "ui/AppIcon.h"
#include "ui/MainDialog.h"

int RunTessivalApp(int& argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessival"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    QApplication::setDesktopFileName(QStringLiteral("tessival"));
    QApplication::setWindowIcon(MakeAppIcon());

    MainDialog dialog;
    dialog.exec();
    dialog.poster().Detach();
    return 0;
}
