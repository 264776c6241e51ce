// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "mainwindow.h"

#include <QApplication>

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
    MainWindow window;
    window.show();
    return app.exec();
}
