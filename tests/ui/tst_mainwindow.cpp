// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The main window: its fixed size and artwork, the status log, and the release-branch setting
// with its dialog and the show-betas box.
#include "mainwindow.h"
#include "privatesettings.h"
#include "releasebranchdialog.h"
#include "releaseserver.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

namespace {
// Nothing listens here, so the catalogue request of the window fails at once and quietly.
const QString unreachableServer = QStringLiteral("http://127.0.0.1:9");

struct LogLine
{
    QString text;
    QColor colour;
};

QList<LogLine> logLines(const QTextEdit *log)
{
    QList<LogLine> lines;
    for (QTextBlock block = log->document()->begin(); block.isValid(); block = block.next()) {
        const QColor colour = block.begin().fragment().charFormat().foreground().color();
        lines.append({block.text(), colour});
    }
    return lines;
}

QSettings branchSettings()
{
    return QSettings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2"));
}

// Runs once the modal dialog is up: types the branch (unless null) and presses OK or Cancel.
void answerBranchDialog(const QString &branch, QDialogButtonBox::StandardButton button,
                        QString *shownBranch)
{
    QTimer::singleShot(0, [=] {
        auto *dialog = qobject_cast<releaseBranchDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        auto *box = dialog->findChild<QLineEdit *>("branchNameTextBox");
        *shownBranch = box->text();
        if (!branch.isNull())
            box->setText(branch);
        dialog->findChild<QDialogButtonBox *>("buttonBox")->button(button)->click();
    });
}
} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private:
    static QTextEdit *statusText(MainWindow &w) { return w.findChild<QTextEdit *>("statusText"); }
    static NVKCloudInterface &cloud(MainWindow &w) { return w.cloud; }

private slots:
    void initTestCase();
    void init();
    void windowKeepsItsSizeAndShowsItsArtwork();
    void writeStatusColoursOnlyTheNewLine();
    void storedBranchDecidesRequest_data();
    void storedBranchDecidesRequest();
    void branchDialog_data();
    void branchDialog();
    void showBetasTogglesRequest();
};

void MainWindowTest::initTestCase()
{
    usePrivateSettings();
}

void MainWindowTest::init()
{
    branchSettings().clear();
}

// The form fixes the window's size; the images of its labels and buttons come from the resources.
void MainWindowTest::windowKeepsItsSizeAndShowsItsArtwork()
{
    MainWindow window(unreachableServer);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize size = window.size();
    window.resize(size + QSize(200, 100));
    QCOMPARE(window.size(), size);

    int images = 0;
    for (const QLabel *label : window.findChildren<QLabel *>())
        images += !label->pixmap().isNull();
    for (const QPushButton *button : window.findChildren<QPushButton *>())
        images += !button->icon().isNull();
    QCOMPARE(images, 4); // two logos, two button icons
}

// A line takes its own colour, and a user who has selected the log (to copy it) keeps both the
// selection and the colours of the lines selected, here the two black lines of the start.
void MainWindowTest::writeStatusColoursOnlyTheNewLine()
{
    MainWindow window(unreachableServer);
    window.show();
    window.writeStatus(QStringLiteral("flashing"), QStringLiteral("Orange"));
    statusText(window)->selectAll();
    window.writeStatus(QStringLiteral("failed"), QStringLiteral("Red"));

    const QList<LogLine> lines = logLines(statusText(window));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0].colour, QColor(Qt::black));
    QCOMPARE(lines[2].colour, QColor(255, 165, 0));
    QCOMPARE(lines[3].colour, QColor(255, 0, 0));
    QVERIFY(statusText(window)->textCursor().hasSelection());
}

void MainWindowTest::storedBranchDecidesRequest_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("branchLine");

    const QString noLine;
    QTest::newRow("no key") << QVariant() << "cust" << noLine;
    QTest::newRow("empty string") << QVariant(QString()) << "cust" << noLine;
    QTest::newRow("standard branch") << QVariant("cust") << "cust" << noLine;
    QTest::newRow("differs in case") << QVariant("Cust") << "Cust" << QString("Branch Path: Cust");
    QTest::newRow("trailing space kept")
        << QVariant("cust ") << "cust " << QString("Branch Path: cust ");
    QTest::newRow("multi-segment")
        << QVariant("labs/rf-team") << "labs/rf-team" << QString("Branch Path: labs/rf-team");
}

void MainWindowTest::storedBranchDecidesRequest()
{
    QFETCH(QVariant, stored);
    QFETCH(QString, requested);
    QFETCH(QString, branchLine);

    if (stored.isValid())
        branchSettings().setValue(QStringLiteral("ReleaseBranch"), stored);

    ReleaseServer server(QDir::tempPath());
    QVERIFY(server.start() != 0);
    MainWindow window(server.baseUrl());
    QCOMPARE(cloud(window).releaseBranch, requested);
    // The branch travels unchanged as the path of the catalogue request.
    QTRY_COMPARE(server.requests(), QStringList{QLatin1Char('/') + requested + "/lumetrarelease/"});
    const QList<LogLine> lines = logLines(statusText(window));
    if (branchLine.isEmpty()) {
        QCOMPARE(lines.size(), 2);
    } else {
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[2].text, branchLine);
        QCOMPARE(lines[2].colour, QColor(0, 128, 0));
    }
}

void MainWindowTest::branchDialog_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed"); // null: the box is left as it was shown
    QTest::addColumn<QDialogButtonBox::StandardButton>("button");
    QTest::addColumn<QString>("requested"); // null: no new catalogue request
    QTest::addColumn<int>("branchLines");

    const auto ok = QDialogButtonBox::Ok;
    const QString labs = QStringLiteral("labs");
    QTest::newRow("empty box means standard") << labs << QString("") << ok << "cust" << 0;
    QTest::newRow("custom branch")
        << QString() << QString("labs/rf-team") << ok << "labs/rf-team" << 1;
    QTest::newRow("unchanged custom logs again") << labs << QString() << ok << labs << 1;
    QTest::newRow("cancel changes nothing")
        << labs << QString("typed but cancelled") << QDialogButtonBox::Cancel << QString() << 0;
}

void MainWindowTest::branchDialog()
{
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(QDialogButtonBox::StandardButton, button);
    QFETCH(QString, requested);
    QFETCH(int, branchLines);

    if (!before.isEmpty())
        branchSettings().setValue(QStringLiteral("ReleaseBranch"), before);
    MainWindow window(unreachableServer);
    const int linesBefore = logLines(statusText(window)).size();
    QSignalSpy requests(&cloud(window), &NVKCloudInterface::versions_update);

    QString shown;
    answerBranchDialog(typed, button, &shown);
    QTest::mouseClick(window.findChild<QPushButton *>("branchButton"), Qt::LeftButton);

    QCOMPARE(shown, before);
    const QString stored = typed.isNull() || requested.isNull() ? before : typed;
    QCOMPARE(branchSettings().value(QStringLiteral("ReleaseBranch"), QString()).toString(), stored);
    QCOMPARE(requests.isEmpty(), requested.isNull());
    if (!requested.isNull())
        QCOMPARE(cloud(window).releaseBranch, requested);
    const QList<LogLine> lines = logLines(statusText(window));
    QCOMPARE(lines.size(), linesBefore + branchLines);
    if (branchLines)
        QCOMPARE(lines.last().text, QStringLiteral("Branch Path: ") + requested);
}

void MainWindowTest::showBetasTogglesRequest()
{
    branchSettings().setValue(QStringLiteral("ReleaseBranch"), QStringLiteral("labs"));
    ReleaseServer server(QDir::tempPath());
    QVERIFY(server.start() != 0);
    MainWindow window(server.baseUrl());
    auto *betas = window.findChild<QCheckBox *>("showBetaCheckBox");
    QVERIFY(!betas->isChecked());
    QVERIFY(!cloud(window).showBetas);
    QTRY_COMPARE(server.requests().size(), 1);

    // Every toggle asks for the catalogue again, with the box's new state.
    betas->click();
    QVERIFY(cloud(window).showBetas);
    QTRY_COMPARE(server.requests().size(), 2);
    betas->click();
    QVERIFY(!cloud(window).showBetas);
    QTRY_COMPARE(server.requests().size(), 3);

    // ... and repeats the custom branch line: start-up plus two toggles.
    int branchLines = 0;
    for (const LogLine &line : logLines(statusText(window)))
        branchLines += line.text == QLatin1String("Branch Path: labs");
    QCOMPARE(branchLines, 3);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
