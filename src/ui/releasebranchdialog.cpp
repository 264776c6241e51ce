// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasebranchdialog.h"

#include "releasebranchsetting.h"
#include "ui_releasebranchdialog.h"

#include <QPushButton>

releaseBranchDialog::releaseBranchDialog(QWidget *parent)
    : QDialog(parent), ui(new Ui::releaseBranchDialog)
{
    ui->setupUi(this);
    // The button box comes first in the form, so without this OK would take the focus and a
    // user typing a path at once would type into nothing, then press OK with Return.
    ui->branchNameTextBox->setFocus();
    // The line shows what was typed; it must never be read as markup.
    ui->label_3->setTextFormat(Qt::PlainText);
    guidance = ui->label_3->text();
    connect(ui->branchNameTextBox, &QLineEdit::textChanged, this, &releaseBranchDialog::checkName);
    checkName(ui->branchNameTextBox->text());
}

releaseBranchDialog::~releaseBranchDialog()
{
    delete ui;
}

void releaseBranchDialog::checkName(const QString &text)
{
    // Empty is the standard branch.
    const QString branch = ReleaseBranchSetting::normalised(text);
    const QString problem =
        branch.isEmpty() ? QString() : ReleaseBranchSetting::nameProblem(branch);
    ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(problem.isEmpty());
    ui->label_3->setText(problem.isEmpty() ? guidance
                                           : problem.at(0).toUpper() + problem.mid(1) +
                                                 QStringLiteral(": OK stays disabled."));
}
