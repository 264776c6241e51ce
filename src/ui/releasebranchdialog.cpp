// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasebranchdialog.h"

#include "ui_releasebranchdialog.h"

releaseBranchDialog::releaseBranchDialog(QWidget *parent)
    : QDialog(parent), ui(new Ui::releaseBranchDialog)
{
    ui->setupUi(this);
}

releaseBranchDialog::~releaseBranchDialog()
{
    delete ui;
}
