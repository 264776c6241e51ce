// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The main window as the user first sees it: its form, artwork, status log, progress bar and
// the release-branch setting.
#include "mainwindow.h"
#include "releasebranchdialog.h"
#include "releaseserver.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <cmath>

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

// Contrast ratio of two colours as accessibility guidelines measure it: 1 (none) to 21.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
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
    static QTimer &portTimer(MainWindow &w) { return w.portTimer; }
    static void progress(MainWindow &w, int percent) { w.progress_update(percent); }

private slots:
    void initTestCase();
    void init();
    void windowIsFixedAt777x340();
    void startupLogHoldsTwoBlackLines();
    void formWidgets_data();
    void formWidgets();
    void framedWidgetsSitAtFixedGeometry_data();
    void framedWidgetsSitAtFixedGeometry();
    void labelsAreWhiteOnGrey();
    void artworkLoads_data();
    void artworkLoads();
    void progressBarShowsNoText();
    void writeStatusColoursTheLine_data();
    void writeStatusColoursTheLine();
    void storedBranchDecidesRequest_data();
    void storedBranchDecidesRequest();
    void branchDialogAccepts_data();
    void branchDialogAccepts();
    void branchDialogCancelChangesNothing();
    void showBetasTogglesRequest();
    void accessibleNamesAndLabels_data();
    void accessibleNamesAndLabels();
    void logStaysReadableUnderDarkPalette();
    void branchDialogTakesTypedBranchOnReturn();
};

void MainWindowTest::initTestCase()
{
    // Never read or write the user's real settings.
    QStandardPaths::setTestModeEnabled(true);
}

void MainWindowTest::init()
{
    branchSettings().clear();
}

void MainWindowTest::windowIsFixedAt777x340()
{
    MainWindow window(unreachableServer);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(777, 340));
    QCOMPARE(window.minimumSize(), QSize(777, 340));
    QCOMPARE(window.maximumSize(), QSize(777, 340));
    QCOMPARE(window.windowTitle(), QStringLiteral("Lumetra Updater v1.0"));
    QCOMPARE(window.palette().color(QPalette::Active, QPalette::Window), QColor(118, 118, 118));

    window.resize(1000, 600);
    QCOMPARE(window.size(), QSize(777, 340));
}

void MainWindowTest::startupLogHoldsTwoBlackLines()
{
    MainWindow window(unreachableServer);
    const QList<LogLine> lines = logLines(statusText(window));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0].text, QStringLiteral("Welcome to Lumetra v2"));
    QCOMPARE(lines[1].text,
             QStringLiteral("Power down power meter, hold joystick button, and press "
                            "power button to enter bootloader mode"));
    for (const LogLine &line : lines)
        QCOMPARE(line.colour, QColor(Qt::black));
    QVERIFY(statusText(window)->isReadOnly());
}

void MainWindowTest::formWidgets_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("cell"); // row, column, row span, column span as x, y, w, h
    QTest::addColumn<QString>("text");

    QTest::newRow("banner frame") << "frame"
                                  << "QFrame" << QRect(0, 0, 3, 1) << "";
    QTest::newRow("status log") << "statusText"
                                << "QTextEdit" << QRect(0, 1, 1, 4) << "";
    QTest::newRow("version label") << "label_2"
                                   << "QLabel" << QRect(1, 1, 1, 1) << "Version";
    QTest::newRow("version list") << "versionsCombo"
                                  << "QComboBox" << QRect(1, 2, 2, 1) << "No Internet";
    QTest::newRow("betas box") << "showBetaCheckBox"
                               << "QCheckBox" << QRect(1, 3, 1, 1) << "Show Betas";
    QTest::newRow("branch button") << "branchButton"
                                   << "QPushButton" << QRect(2, 3, 1, 1) << "Branch";
    QTest::newRow("update button") << "updateButton"
                                   << "QPushButton" << QRect(1, 4, 2, 2) << "Update Zarud Ovazu z2";
    QTest::newRow("progress bar") << "progressBar"
                                  << "QProgressBar" << QRect(0, 5, 1, 1) << "";
}

void MainWindowTest::formWidgets()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, cell);
    QFETCH(QString, text);

    MainWindow window(unreachableServer);
    auto *grid = window.findChild<QGridLayout *>("gridLayout");
    QVERIFY(grid);
    QCOMPARE(window.centralWidget()->objectName(), QStringLiteral("centralwidget"));
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1());

    int row = -1, column = -1, rowSpan = -1, columnSpan = -1;
    grid->getItemPosition(grid->indexOf(widget), &row, &column, &rowSpan, &columnSpan);
    QCOMPARE(QRect(column, row, columnSpan, rowSpan), cell);

    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(label->text(), text);
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        QCOMPARE(button->text(), text);
        QVERIFY(button->isEnabled());
        QCOMPARE(button->isChecked(), false);
    }
    if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        QCOMPARE(combo->placeholderText(), text);
        QCOMPARE(combo->count(), 0);
    }
    if (auto *push = qobject_cast<QPushButton *>(widget)) {
        QCOMPARE(push->iconSize(), QSize(32, 32));
        QVERIFY(!push->icon().isNull());
        QCOMPARE(push->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(push->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    }
}

void MainWindowTest::framedWidgetsSitAtFixedGeometry_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("product logo") << "label_3"
                                  << "QLabel" << QRect(0, 10, 201, 61);
    QTest::newRow("maker logo") << "label_6"
                                << "QLabel" << QRect(570, 10, 191, 61);
    QTest::newRow("port list") << "serialPortCombo"
                               << "QComboBox" << QRect(200, 30, 351, 21);
    QTest::newRow("port label") << "label"
                                << "QLabel" << QRect(200, 10, 47, 13);
}

void MainWindowTest::framedWidgetsSitAtFixedGeometry()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, geometry);

    MainWindow window(unreachableServer);
    auto *widget = window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->metaObject()->className(), className.toLatin1());
    QCOMPARE(widget->parentWidget()->objectName(), QStringLiteral("frame"));
    QCOMPARE(widget->geometry(), geometry);
    if (auto *label = qobject_cast<QLabel *>(widget); label && name != QLatin1String("label")) {
        QVERIFY(label->hasScaledContents());
        QVERIFY(!label->pixmap().isNull());
        QVERIFY(label->text().isEmpty());
    }
}

void MainWindowTest::labelsAreWhiteOnGrey()
{
    MainWindow window(unreachableServer);
    for (const char *name : {"label", "label_2", "showBetaCheckBox"}) {
        const QPalette palette = window.findChild<QWidget *>(name)->palette();
        QCOMPARE(palette.color(QPalette::Active, QPalette::WindowText), QColor(Qt::white));
        QCOMPARE(palette.color(QPalette::Inactive, QPalette::WindowText), QColor(Qt::white));
        QCOMPARE(palette.color(QPalette::Disabled, QPalette::WindowText), QColor(120, 120, 120));
    }
    auto *frame = window.findChild<QFrame *>("frame");
    QCOMPARE(frame->frameShape(), QFrame::StyledPanel);
    QCOMPARE(frame->frameShadow(), QFrame::Raised);
    QVERIFY(frame->autoFillBackground());
}

void MainWindowTest::artworkLoads_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("product logo") << ":/new/nvk/Lumetra Logo.png";
    QTest::newRow("maker logo") << ":/new/nvk/Artwork/NVK Logo White.png";
    QTest::newRow("branch icon") << ":/new/nvk/Artwork/ID Branch.png";
    QTest::newRow("update icon") << ":/new/nvk/Artwork/Firmware Update.png";
    QTest::newRow("application icon") << ":/new/nvk/Artwork/Lumetra Icon.png";
    QTest::newRow("application icon, Windows") << ":/new/nvk/Artwork/Lumetra Icon.ico";
}

void MainWindowTest::artworkLoads()
{
    QFETCH(QString, path);
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
}

void MainWindowTest::progressBarShowsNoText()
{
    MainWindow window(unreachableServer);
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QVERIFY(!bar->isTextVisible());
    QVERIFY(!bar->invertedAppearance());

    progress(window, 100);
    QCOMPARE(bar->value(), 100);
    progress(window, 0);
    QCOMPARE(bar->value(), 0);
}

void MainWindowTest::writeStatusColoursTheLine_data()
{
    QTest::addColumn<QString>("colourName");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("guidance") << "Black" << QColor(0, 0, 0);
    QTest::newRow("stage") << "Green" << QColor(0, 128, 0);
    QTest::newRow("flashing") << "Orange" << QColor(255, 165, 0);
    QTest::newRow("error") << "Red" << QColor(255, 0, 0);
}

void MainWindowTest::writeStatusColoursTheLine()
{
    QFETCH(QString, colourName);
    QFETCH(QColor, colour);

    MainWindow window(unreachableServer);
    window.show();
    window.writeStatus(QStringLiteral("first ") + colourName, colourName);
    window.writeStatus(QStringLiteral("then black"), QStringLiteral("Black"));

    // Both lines are in the document the moment each call returns, each in its own colour.
    QList<LogLine> lines = logLines(statusText(window));
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[2].text, QStringLiteral("first ") + colourName);
    QCOMPARE(lines[2].colour, colour);
    QCOMPARE(lines[3].colour, QColor(Qt::black));

    // A user who selects the whole log to copy it keeps both the selection and its colours.
    statusText(window)->selectAll();
    window.writeStatus(QStringLiteral("while selected"), colourName);
    lines = logLines(statusText(window));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0].colour, QColor(Qt::black));
    QCOMPARE(lines[3].colour, QColor(Qt::black));
    QCOMPARE(lines[4].colour, colour);
    QVERIFY(statusText(window)->textCursor().hasSelection());
}

void MainWindowTest::storedBranchDecidesRequest_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("branchLine");

    QTest::newRow("no key") << QVariant() << "cust"
                            << "";
    QTest::newRow("empty string") << QVariant(QString()) << "cust"
                                  << "";
    QTest::newRow("standard branch") << QVariant("cust") << "cust"
                                     << "";
    QTest::newRow("differs in case") << QVariant("Cust") << "Cust"
                                     << "Branch Path: Cust";
    QTest::newRow("trailing space kept") << QVariant("cust ") << "cust "
                                         << "Branch Path: cust ";
    QTest::newRow("multi-segment") << QVariant("labs/rf-team") << "labs/rf-team"
                                   << "Branch Path: labs/rf-team";
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

void MainWindowTest::branchDialogAccepts_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<int>("branchLines");

    // A null "typed" accepts the box as it was shown.
    QTest::newRow("empty box means standard") << "labs"
                                              << ""
                                              << "cust" << 0;
    QTest::newRow("custom branch") << ""
                                   << "labs/rf-team"
                                   << "labs/rf-team" << 1;
    QTest::newRow("unchanged custom logs again") << "labs" << QString() << "labs" << 1;
}

void MainWindowTest::branchDialogAccepts()
{
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(QString, requested);
    QFETCH(int, branchLines);

    if (!before.isEmpty())
        branchSettings().setValue(QStringLiteral("ReleaseBranch"), before);
    MainWindow window(unreachableServer);
    const int linesBefore = logLines(statusText(window)).size();

    QString shown;
    answerBranchDialog(typed, QDialogButtonBox::Ok, &shown);
    QTest::mouseClick(window.findChild<QPushButton *>("branchButton"), Qt::LeftButton);

    QCOMPARE(shown, before);
    const QString expectedStored = typed.isNull() ? before : typed;
    QCOMPARE(branchSettings().value(QStringLiteral("ReleaseBranch")), QVariant(expectedStored));
    QCOMPARE(cloud(window).releaseBranch, requested);
    const QList<LogLine> lines = logLines(statusText(window));
    QCOMPARE(lines.size(), linesBefore + branchLines);
    if (branchLines)
        QCOMPARE(lines.last().text, QStringLiteral("Branch Path: ") + requested);
}

void MainWindowTest::branchDialogCancelChangesNothing()
{
    branchSettings().setValue(QStringLiteral("ReleaseBranch"), QStringLiteral("labs"));
    MainWindow window(unreachableServer);
    const int linesBefore = logLines(statusText(window)).size();
    QSignalSpy requests(&cloud(window), &NVKCloudInterface::versions_update);

    QString shown;
    answerBranchDialog(QStringLiteral("typed but cancelled"), QDialogButtonBox::Cancel, &shown);
    QTest::mouseClick(window.findChild<QPushButton *>("branchButton"), Qt::LeftButton);

    QCOMPARE(shown, QStringLiteral("labs"));
    QCOMPARE(branchSettings().value(QStringLiteral("ReleaseBranch")), QVariant("labs"));
    QCOMPARE(logLines(statusText(window)).size(), linesBefore);
    QCOMPARE(requests.count(), 0);
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

void MainWindowTest::accessibleNamesAndLabels_data()
{
    using namespace Qt::StringLiterals;
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label"); // the label whose buddy the widget is, if any

    QTest::newRow("port list") << u"serialPortCombo"_s << u"Serial port"_s << u"label"_s;
    QTest::newRow("version list") << u"versionsCombo"_s << u"Firmware version"_s << u"label_2"_s;
    QTest::newRow("status log") << u"statusText"_s << u"Status log"_s << QString();
    QTest::newRow("progress bar") << u"progressBar"_s << u"Update progress"_s << QString();
    QTest::newRow("product logo") << u"label_3"_s << u"Lumetra logo"_s << QString();
    QTest::newRow("maker logo") << u"label_6"_s << u"Norvatek logo"_s << QString();
    QTest::newRow("branch text box") << u"branchNameTextBox"_s << u"Release branch"_s << u"label"_s;
}

// What a screen reader announces: each widget's name, and the visible label it is labelled by.
void MainWindowTest::accessibleNamesAndLabels()
{
    QFETCH(QString, widget);
    QFETCH(QString, name);
    QFETCH(QString, label);

    MainWindow window(unreachableServer);
    releaseBranchDialog dialog(&window);
    QAccessibleInterface *accessible =
        QAccessible::queryAccessibleInterface(window.findChild<QWidget *>(widget));
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
    QStringList labels;
    for (const auto &relation : accessible->relations(QAccessible::Label))
        labels.append(relation.first->object()->objectName());
    QCOMPARE(labels, label.isEmpty() ? QStringList() : QStringList{label});
}

void MainWindowTest::logStaysReadableUnderDarkPalette()
{
    // A dark scheme: light text on dark bases and faces.
    QPalette dark;
    for (const auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        dark.setColor(role, QColor(0x2a, 0x2e, 0x32));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(role, QColor(0xfc, 0xfc, 0xfc));
    const QPalette applicationPalette = QApplication::palette();
    QApplication::setPalette(dark);
    const auto restorePalette = qScopeGuard([&] { QApplication::setPalette(applicationPalette); });

    MainWindow window(unreachableServer);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The window keeps its own grey.
    QCOMPARE(window.palette().color(QPalette::Window), QColor(118, 118, 118));

    // The background the log really paints, read off its pixels below the text.
    QWidget *viewport = statusText(window)->viewport();
    const QColor background =
        viewport->grab().toImage().pixelColor(viewport->width() - 3, viewport->height() - 3);
    // Black guidance lines and text without a colour of its own.
    for (const QColor &text : {logLines(statusText(window)).first().colour,
                               statusText(window)->palette().color(QPalette::Text)})
        QVERIFY2(contrast(background, text) >= 7,
                 qPrintable(QString::number(contrast(background, text))));
}

void MainWindowTest::branchDialogTakesTypedBranchOnReturn()
{
    branchSettings().setValue(QStringLiteral("ReleaseBranch"), QStringLiteral("labs"));
    MainWindow window(unreachableServer);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    // The keys go wherever the dialog put the focus, as a user's would: they reach the stored
    // path only if the text box has the focus, and replace it only if it starts selected.
    QWidget *dialogParent = nullptr;
    QTimer::singleShot(0, [&] {
        QWidget *dialog = QApplication::activeModalWidget();
        dialogParent = dialog->parentWidget();
        // What a window manager does with a new dialog; offscreen there is none.
        dialog->activateWindow();
        // Should it never become active, the keys go to the dialog itself and change nothing.
        (void)QTest::qWaitFor([&] { return QApplication::activeWindow() == dialog; });
        QWidget *target = QApplication::focusWidget();
        if (!target || !dialog->isAncestorOf(target))
            target = dialog;
        QTest::keyClicks(target, QStringLiteral("labs/rf-team"));
        QTest::keyClick(target, Qt::Key_Return);
        // A dialog that ignored Return must not leave the test waiting.
        dialog->close();
    });
    QTest::mouseClick(window.findChild<QPushButton *>("branchButton"), Qt::LeftButton);

    QCOMPARE(dialogParent, &window);
    QCOMPARE(branchSettings().value(QStringLiteral("ReleaseBranch")), QVariant("labs/rf-team"));
    QCOMPARE(cloud(window).releaseBranch, QStringLiteral("labs/rf-team"));
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
