#pragma once

#include <QDialog>

// The About box: the icon, "Tessival version 1.0", what the program is for, and OK.
class AboutDialog final : public QDialog {
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
