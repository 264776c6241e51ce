// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDialog>

QT_BEGIN_NAMESPACE
namespace Ui {
class releaseBranchDialog;
}
QT_END_NAMESPACE

// Edits the release-branch path; the caller fills and reads the text box through ui.
class releaseBranchDialog : public QDialog
{
    Q_OBJECT

public:
    explicit releaseBranchDialog(QWidget *parent = nullptr);
    ~releaseBranchDialog() override;

    Ui::releaseBranchDialog *ui;
};
