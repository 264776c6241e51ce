// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "mainwindow.h"

#include <QApplication>
#include <QIcon>

namespace {
// The name of the desktop entry and of the icon in the icon theme, as the package installs them.
const QString desktopName = QStringLiteral("lumetra-updater");
const QString builtInIconPath = QStringLiteral(":/new/nvk/Artwork/Lumetra Icon.png");
} // namespace

int main(int argc, char *argv[])
{
    // Both attributes are Qt 6's fixed behaviour and deprecated; they are set so the program
    // behaves the same when built against a toolkit where they still matter.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QT_WARNING_POP

    QApplication app(argc, argv);
    // Docks and task switchers that match windows to launchers by desktop file rather than by
    // window class need the name; the icon shows even where the theme has none of ours (a
    // build run from its tree).
    QGuiApplication::setDesktopFileName(desktopName);
    QApplication::setWindowIcon(QIcon::fromTheme(desktopName, QIcon(builtInIconPath)));

    MainWindow window;
    window.show();
    return app.exec();
}
