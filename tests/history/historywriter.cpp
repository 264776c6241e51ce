// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// history-writer FILE SERIAL COUNT: records COUNT updates of the meter SERIAL in FILE, each in
// the two writes of a real run, and exits 0 only when every write worked.
#include "updatehistory.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 4)
        return 2;
    UpdateHistory history(arguments.at(1));
    const int count = arguments.at(3).toInt();
    for (int run = 0; run < count; ++run) {
        UpdateRecord record = UpdateRecord::started(UpdateRecord::Program::Bench);
        record.serialNumber = arguments.at(2);
        record.version = QStringLiteral("1.0.%1").arg(run);
        record.images = {{QStringLiteral("DOVUr3_main_firmware"), 4096, QString(64, u'a'), true}};
        const std::optional<qint64> id = history.begin(record);
        record.end(0);
        if (!id || !history.finish(*id, record)) {
            std::fprintf(stderr, "%s\n", qPrintable(history.problem()));
            return 1;
        }
    }
    return 0;
}
