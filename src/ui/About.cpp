#include "ui/About.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "ui/AppIcon.h"

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* icon = new QLabel;
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(MakeAppIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* version = new QLabel(QStringLiteral("Tessival version 1.0"));
    version->setObjectName(QStringLiteral("version"));
    version->setAlignment(Qt::AlignCenter);

    auto* description = new QLabel(
        QStringLiteral("Tessival converts audio files to other sample rates and sample types with "
                       "mastering-quality filters."));
    description->setObjectName(QStringLiteral("description"));
    description->setAlignment(Qt::AlignCenter);
    description->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->setCenterButtons(true);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(icon, 0, 0);
    layout->addWidget(version, 0, 1);
    layout->addWidget(description, 1, 0, 1, 2);
    layout->addWidget(buttons, 2, 0, 1, 2);
    layout->setColumnStretch(1, 1);

    const QFontMetrics fm(font());
    setMinimumWidth(fm.averageCharWidth() * 40);
    setSizeGripEnabled(false);
}
