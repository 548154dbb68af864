#pragma once
// The program's own pictures, drawn at run time: the splash picture and the application icon.
#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace kov {

constexpr int kSplashWidth = 633;
constexpr int kSplashHeight = 485;

// Eight serial connectors wired to a network hub, with the program's name and version.
QPixmap MakeSplashPicture(QSize size = QSize(kSplashWidth, kSplashHeight));

// A connector and a two-way arrow, in 16, 32 and 48 pixel images.
QIcon MakeAppIcon();
QPixmap MakeAppIconPixmap(int side);

}  // namespace kov
