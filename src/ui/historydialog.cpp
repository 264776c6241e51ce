// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "historydialog.h"

#include "historycsv.h"
#include "ui_historydialog.h"
#include "updatehistory.h"

#include <QFileDialog>
#include <QSaveFile>
#include <QTableWidgetItem>

namespace {

const QString unknownCell = QStringLiteral("-");
constexpr int secondsDecimals = 1;

// A text from a meter or a server as a cell shows it: control characters and line breaks written
// out, so that a serial number cannot fake rows or lines of its own.
QString cellText(const QString &text)
{
    if (text.isEmpty())
        return unknownCell;
    constexpr char16_t lastC0 = 0x1F;
    constexpr char16_t del = 0x7F;
    constexpr char16_t lastC1 = 0x9F;
    QString shown;
    for (const QChar character : text) {
        const char16_t code = character.unicode();
        if (code <= lastC0 || (code >= del && code <= lastC1) ||
            character == QChar::LineSeparator || character == QChar::ParagraphSeparator)
            shown += QStringLiteral("\\u%1").arg(uint(code), 4, 16, QLatin1Char('0'));
        else
            shown += character;
    }
    return shown;
}

QStringList cellsOf(const UpdateRecord &record)
{
    QStringList images;
    for (const ImageRecord &image : record.images)
        images.append(image.name);
    return {record.startedAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
            record.serialNumber,
            record.port,
            record.version,
            UpdateRecord::resultName(record.result),
            record.reason,
            record.seconds ? QString::number(*record.seconds, 'f', secondsDecimals) : QString(),
            UpdateRecord::programName(record.program),
            record.source,
            images.join(QLatin1String(", "))};
}

} // namespace

HistoryDialog::HistoryDialog(const QString &historyPath, QWidget *parent)
    : QDialog(parent), ui(new Ui::HistoryDialog), path(historyPath)
{
    ui->setupUi(this);
    reload();
}

HistoryDialog::~HistoryDialog()
{
    delete ui;
}

void HistoryDialog::reload()
{
    QTableWidget *table = ui->historyTable;
    table->setSortingEnabled(false);
    table->setRowCount(0);
    int total = 0;
    UpdateHistory history(path);
    const bool ok = history.read({}, [&](const UpdateRecord &record) {
        ++total;
        if (total > shownRecords)
            return;
        const int row = table->rowCount();
        table->insertRow(row);
        const QStringList cells = cellsOf(record);
        for (int column = 0; column < cells.size(); ++column)
            table->setItem(row, column, new QTableWidgetItem(cellText(cells.at(column))));
    });
    table->resizeColumnsToContents();
    if (!ok)
        ui->summaryLabel->setText(tr("The history cannot be read: %1").arg(history.problem()));
    else if (total == 0)
        ui->summaryLabel->setText(tr("No update has been recorded in %1 yet.").arg(path));
    else if (total > shownRecords)
        ui->summaryLabel->setText(tr("The newest %1 of %2 updates; Export CSV writes them all.")
                                      .arg(shownRecords)
                                      .arg(total));
    else
        ui->summaryLabel->setText(
            tr("%n update(s), newest first, from %1.", nullptr, total).arg(path));
    ui->exportButton->setEnabled(ok && total > 0);
}

void HistoryDialog::on_exportButton_clicked()
{
    auto *chooser =
        new QFileDialog(this, tr("Export the update history"), QString(), tr("CSV files (*.csv)"));
    chooser->setAcceptMode(QFileDialog::AcceptSave);
    chooser->setDefaultSuffix(QStringLiteral("csv"));
    chooser->selectFile(QStringLiteral("lumetra-update-history.csv"));
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QFileDialog::fileSelected, this, &HistoryDialog::exportTo);
    chooser->open();
}

bool HistoryDialog::exportTo(const QString &fileName)
{
    // Written under a temporary name and renamed at the end: a failed export leaves no half file
    // and never spoils an earlier one of the same name.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        ui->summaryLabel->setText(tr("Cannot write %1: %2").arg(fileName, file.errorString()));
        return false;
    }
    file.write(HistoryCsv::header().toUtf8());
    UpdateHistory history(path);
    const bool read = history.read(
        {}, [&](const UpdateRecord &record) { file.write(HistoryCsv::row(record).toUtf8()); });
    if (!read) {
        file.cancelWriting();
        ui->summaryLabel->setText(tr("The history cannot be read: %1").arg(history.problem()));
        return false;
    }
    if (!file.commit()) {
        ui->summaryLabel->setText(tr("Cannot write %1: %2").arg(fileName, file.errorString()));
        return false;
    }
    ui->summaryLabel->setText(tr("Exported to %1.").arg(fileName));
    return true;
}
