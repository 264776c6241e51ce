// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDialog>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class HistoryDialog;
}
QT_END_NAMESPACE

// The update history as a read-only table, newest first, with "Export CSV…". It opens without a
// local event loop of its own (show(), and a file dialog that answers by signal), so that an
// update going on behind it keeps being served by the window's loop.
class HistoryDialog : public QDialog
{
    Q_OBJECT

public:
    explicit HistoryDialog(const QString &historyPath, QWidget *parent = nullptr);
    ~HistoryDialog() override;

    // The most rows the table shows; the export writes every record.
    static constexpr int shownRecords = 5000;

    // Reads the history again into the table.
    void reload();
    // Writes every record as CSV to the file; false (after saying why in the dialog) on failure.
    bool exportTo(const QString &fileName);

private slots:
    void on_exportButton_clicked();

private:
    Ui::HistoryDialog *ui;
    QString path;
};
