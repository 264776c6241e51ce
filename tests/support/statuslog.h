// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QColor>
#include <QList>
#include <QPair>
#include <QTextBlock>
#include <QTextEdit>

// One line of the window's status log and the colour it was written in.
using LogLine = QPair<QString, QColor>;

// The window's status log as the user reads it, line by line.
inline QList<LogLine> statusLog(const QWidget *window)
{
    QList<LogLine> lines;
    const QTextDocument *log = window->findChild<QTextEdit *>("statusText")->document();
    for (QTextBlock block = log->begin(); block.isValid(); block = block.next())
        lines.append({block.text(), block.begin().fragment().charFormat().foreground().color()});
    return lines;
}
