// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasebranchdialog.h"

#include "ui_releasebranchdialog.h"

releaseBranchDialog::releaseBranchDialog(QWidget *parent)
    : QDialog(parent), ui(new Ui::releaseBranchDialog)
{
    ui->setupUi(this);
    // The button box comes first in the form, so without this OK would take the focus and a
    // user typing a path at once would type into nothing, then press OK with Return.
    ui->branchNameTextBox->setFocus();
}

releaseBranchDialog::~releaseBranchDialog()
{
    delete ui;
}
