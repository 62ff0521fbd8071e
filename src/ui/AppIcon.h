#pragma once

#include <QIcon>
#include <QImage>

// The application icon: a sampled wave on a blue tile, drawn at every size it is shown at.
QIcon MakeAppIcon();
// The icon drawn into a square image of `size` pixels (premultiplied ARGB).
QImage DrawAppIcon(int size);
