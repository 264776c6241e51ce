// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDialog>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class releaseBranchDialog;
}
QT_END_NAMESPACE

// Edits the release-branch path; the caller fills and reads the text box through ui. OK stays
// disabled while the text is no branch name, and the line under the box says why, so a name
// that would leave the branch's folder on the server is never stored.
class releaseBranchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit releaseBranchDialog(QWidget *parent = nullptr);
    ~releaseBranchDialog() override;

    Ui::releaseBranchDialog *ui;

private:
    void checkName(const QString &text);

    QString guidance; // what the line under the box says while the name is fine
};
