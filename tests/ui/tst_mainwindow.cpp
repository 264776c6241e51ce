// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The main window: its fixed size and artwork, the status log, and the release-branch setting
// with its dialog and the show-betas box.
#include "mainwindow.h"
#include "privatesettings.h"
#include "releasebranchdialog.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "statuslog.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {
// Nothing listens here: a catalogue request fails at once.
const QString unreachableServer = QStringLiteral("http://127.0.0.1:9");

ServerFaults neverAnswer()
{
    ServerFaults faults;
    faults.neverAnswer = true;
    return faults;
}

QSettings branchSettings()
{
    return QSettings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2"));
}

// The log's shades of the named colours on its white background.
const QColor logGreen(0x00, 0x7a, 0x00), logOrange(0x8a, 0x5a, 0x00), logRed(0xc8, 0x00, 0x00);
const QString checkNetwork = QStringLiteral(
    "Check the network connection: the window asks the release server again by itself."
    " Without a network, use a release folder (Folder...).");

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

// Answers the dialog once it is up, as a user at the keyboard would: the keys go wherever the
// dialog put the focus, so the typed branch (null: nothing typed, empty: Delete) reaches the box
// only if it has the focus, and replaces the shown one only if that starts selected.
void answerBranchDialog(const QString &typed, bool accept, QString *shownBranch,
                        QWidget **dialogParent)
{
    QTimer::singleShot(0, [=] {
        QWidget *dialog = QApplication::activeModalWidget();
        *dialogParent = dialog->parentWidget();
        *shownBranch = dialog->findChild<QLineEdit *>("branchNameTextBox")->text();
        // What a window manager does with a new dialog; offscreen there is none.
        dialog->activateWindow();
        (void)QTest::qWaitFor([dialog] { return QApplication::activeWindow() == dialog; });
        QWidget *target = QApplication::focusWidget();
        if (!target || !dialog->isAncestorOf(target))
            target = dialog;
        if (!typed.isNull() && typed.isEmpty())
            QTest::keyClick(target, Qt::Key_Delete);
        QTest::keyClicks(target, typed);
        QTest::keyClick(target, accept ? Qt::Key_Return : Qt::Key_Escape);
        // A dialog that ignored the key must not leave the test waiting.
        dialog->close();
    });
}
} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private:
    static QTextEdit *statusText(MainWindow &w) { return w.findChild<QTextEdit *>("statusText"); }
    static NVKCloudInterface &cloud(MainWindow &w) { return w.cloud; }

    // Takes every catalogue request and answers none within a test's time, so the log holds only
    // the lines a test writes.
    std::unique_ptr<ReleaseServer> quietServer;

private slots:
    void initTestCase();
    void init();
    void catalogueFailureSaysWhyOnce_data();
    void catalogueFailureSaysWhyOnce();
    void windowKeepsItsSizeAndShowsItsArtwork();
    void writeStatusColoursOnlyTheNewLine();
    void lineFromTheServerIsShownNotObeyed_data();
    void lineFromTheServerIsShownNotObeyed();
    void logFollowsItsNewestLine();
    void storedBranchDecidesRequest_data();
    void storedBranchDecidesRequest();
    void branchDialog_data();
    void branchDialog();
    void everyControlIsNamedForScreenReaders();
    void everyLogColourIsReadable_data();
    void everyLogColourIsReadable();
    void lockedShowBetasStaysReadable();
    void listComesBackByItself();
};

void MainWindowTest::initTestCase()
{
    usePrivateSettings();
    quietServer = std::make_unique<ReleaseServer>(QDir::tempPath());
    quietServer->setFaults(neverAnswer());
    QVERIFY(quietServer->start() != 0);
}

void MainWindowTest::init()
{
    branchSettings().clear();
}

// A catalogue request that fails, at once or by its time-out, writes one "No Internet
// Connection" and its reason under it, and nothing more: not the time-out's line after a failure
// at once, nor a late failure's after the time-out.
void MainWindowTest::catalogueFailureSaysWhyOnce_data()
{
    QTest::addColumn<QString>("server"); // null: a release server with no branch at all
    QTest::addColumn<QString>("branch");
    QTest::addColumn<bool>("atOnce");
    QTest::addColumn<QStringList>("lines"); // after the request, the first in green when custom

    const QString noInternet = QStringLiteral("No Internet Connection");
    QTest::newRow("refused at once") << unreachableServer << QString() << true
                                     << QStringList{noInternet, "connection refused", checkNetwork};
    QTest::newRow("custom branch not on the server")
        << QString() << "labs/nope" << true
        << QStringList{"Branch Path: labs/nope", noInternet,
                       "the release branch labs/nope was not found on the server", checkNetwork};
    QTest::newRow("no answer, and given up later")
        << "quiet" << QString() << false
        << QStringList{noInternet, "no answer within 1 s", checkNetwork};
}

void MainWindowTest::catalogueFailureSaysWhyOnce()
{
    QFETCH(QString, server);
    QFETCH(QString, branch);
    QFETCH(bool, atOnce);
    QFETCH(QStringList, lines);
    constexpr int timeoutMs = 1000;
    constexpr int givenUpMs = 1500;

    if (!branch.isNull())
        branchSettings().setValue(QStringLiteral("ReleaseBranch"), branch);
    ReleaseServer emptyServer(QDir::tempPath());
    QVERIFY(emptyServer.start() != 0);
    const QString url = server.isNull()                    ? emptyServer.baseUrl()
                        : server == QLatin1String("quiet") ? quietServer->baseUrl()
                                                           : server;
    MainWindow window(url);
    // The request made at the start ends before the one under test begins.
    if (atOnce)
        QTRY_VERIFY(!cloud(window).isWaitingForCatalogue());
    NVKCloudInterface::Limits limits;
    limits.jsonTimeoutMs = timeoutMs;
    limits.wholeCatalogueTimeoutMs = givenUpMs;
    cloud(window).setLimits(limits);
    const qsizetype before = statusLog(&window).size();

    window.findChild<QCheckBox *>("showBetaCheckBox")->click();

    QList<LogLine> expected;
    for (const QString &line : std::as_const(lines))
        expected.append({line, line.startsWith(QLatin1String("Branch Path")) ? logGreen : logRed});
    QTRY_COMPARE(statusLog(&window).mid(before), expected);
    QTest::qWait(2 * timeoutMs); // past the time-out, and past the moment the request is given up
    QCOMPARE(statusLog(&window).mid(before), expected);
}

// The form fixes the window's size; the images of its labels and buttons come from the resources.
void MainWindowTest::windowKeepsItsSizeAndShowsItsArtwork()
{
    MainWindow window(quietServer->baseUrl());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize size = window.size();
    window.resize(size + QSize(200, 100));
    QCOMPARE(window.size(), size);

    // A label without text is there for its picture: one whose resource was renamed or left out
    // of the program would be a blank in the window. So would the icons of the two buttons a
    // user is told to press.
    for (const QLabel *label : window.findChildren<QLabel *>()) {
        if (label->text().isEmpty())
            QVERIFY2(!label->pixmap().isNull(), qPrintable(label->accessibleName()));
    }
    for (const char *name : {"branchButton", "updateButton"})
        QVERIFY2(!window.findChild<QPushButton *>(QLatin1String(name))->icon().isNull(), name);
}

// A line takes its own colour, and a user who has selected the log (to copy it) keeps both the
// selection and the colours of the lines selected, here the two black lines of the start.
void MainWindowTest::writeStatusColoursOnlyTheNewLine()
{
    MainWindow window(quietServer->baseUrl());
    window.show();
    window.writeStatus(QStringLiteral("flashing"), QStringLiteral("Orange"));
    statusText(window)->selectAll();
    window.writeStatus(QStringLiteral("failed"), QStringLiteral("Red"));

    const QList<LogLine> lines = statusLog(&window);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0].second, QColor(Qt::black));
    QCOMPARE(lines[2].second, logOrange);
    QCOMPARE(lines[3].second, logRed);
    QVERIFY(statusText(window)->textCursor().hasSelection());
}

// A tag or image name from a release server reaches the log inside a status line: whatever it
// holds, the line is the text as it came, one line in the line's colour, and loads nothing.
void MainWindowTest::lineFromTheServerIsShownNotObeyed_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    const QString zeroImage = QStringLiteral("1.0.0 <img src=\"file:///dev/zero\">");
    QTest::newRow("image of a device file") << zeroImage << zeroImage;
    const QString fakeResult = QStringLiteral("<br><font color=#008000>Update complete</font>");
    QTest::newRow("break and a green result") << fakeResult << fakeResult;
    const QString document =
        QStringLiteral("<html><body><p style=\"color:green\">&amp; &lt;b&gt;</p></body></html>");
    QTest::newRow("whole document with entities") << document << document;
    QTest::newRow("newline before a fake version")
        << QStringLiteral("1.1.0\nFAKE 9.9.9") << QStringLiteral("1.1.0\\x0aFAKE 9.9.9");
    QTest::newRow("carriage return, tab, escape and a C1 control")
        << QStringLiteral("a\r\tb\x1b[2J\u0085c") << QStringLiteral("a\\x0d\\x09b\\x1b[2J\\x85c");
    QTest::newRow("line separator and a right-to-left override")
        << QStringLiteral("a\u2028b\u202Ec") << QStringLiteral("a\\u2028b\\u202ec");
}

void MainWindowTest::lineFromTheServerIsShownNotObeyed()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);

    MainWindow window(quietServer->baseUrl());
    window.show();
    const QString prefix = QStringLiteral("Flashing Firmware ");
    window.writeStatus(prefix + text, QStringLiteral("Orange"));
    window.writeStatus(QStringLiteral("next"), QStringLiteral("Red"));

    const QList<LogLine> lines = statusLog(&window).mid(2);
    QCOMPARE(lines, (QList<LogLine>{{prefix + shown, logOrange}, {"next", logRed}}));
    // Every piece of the line is plain text in the line's colour: no image, no other colour.
    const QTextBlock line = statusText(window)->document()->lastBlock().previous();
    for (auto piece = line.begin(); !piece.atEnd(); ++piece) {
        QVERIFY(!piece.fragment().charFormat().isImageFormat());
        QCOMPARE(piece.fragment().charFormat().foreground().color(), logOrange);
    }
}

// Lines are added below the view: the log scrolls along, unless the user has scrolled up to read.
void MainWindowTest::logFollowsItsNewestLine()
{
    MainWindow window(quietServer->baseUrl());
    window.show();
    QScrollBar *scrollBar = statusText(window)->verticalScrollBar();
    for (int i = 0; i < 30; ++i)
        window.writeStatus(QStringLiteral("line %1").arg(i), QStringLiteral("Green"));
    QVERIFY(scrollBar->maximum() > 0);
    QCOMPARE(scrollBar->value(), scrollBar->maximum());

    scrollBar->setValue(0);
    window.writeStatus(QStringLiteral("one more"), QStringLiteral("Green"));
    QCOMPARE(scrollBar->value(), 0);
}

void MainWindowTest::storedBranchDecidesRequest_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("branchLine");

    const QString noLine;
    QTest::newRow("no key") << QVariant() << "cust" << noLine;
    QTest::newRow("empty string") << QVariant(QString()) << "cust" << noLine;
    QTest::newRow("differs in case") << QVariant("Cust") << "Cust" << QString("Branch Path: Cust");
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

    // It takes the requests and answers none, so only the branch lines reach the log.
    ReleaseServer server(QDir::tempPath());
    server.setFaults(neverAnswer());
    QVERIFY(server.start() != 0);
    MainWindow window(server.baseUrl());
    QCOMPARE(cloud(window).branch(), requested);
    QVERIFY(!cloud(window).showsBetas());
    // The branch travels unchanged as the path of the catalogue request.
    const QString request = QLatin1Char('/') + requested + "/lumetrarelease/";
    QTRY_COMPARE(server.requests(), QStringList{request});

    // Ticking "Show Betas" asks again with the box's state, and logs a custom branch again.
    window.findChild<QCheckBox *>("showBetaCheckBox")->click();
    QVERIFY(cloud(window).showsBetas());
    QTRY_COMPARE(server.requests(), (QStringList{request, request}));
    const QList<LogLine> lines = statusLog(&window).mid(2);
    QCOMPARE(lines.size(), branchLine.isEmpty() ? 0 : 2);
    for (const LogLine &line : lines) {
        QCOMPARE(line.first, branchLine);
        QCOMPARE(line.second, logGreen);
    }
}

void MainWindowTest::branchDialog_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accept");       // Return, or else Escape
    QTest::addColumn<QString>("requested"); // null: no new catalogue request
    QTest::addColumn<int>("branchLines");

    const QString labs = QStringLiteral("labs");
    QTest::newRow("empty box means standard") << labs << QString("") << true << "cust" << 0;
    QTest::newRow("typed branch replaces the shown one")
        << labs << QString("labs/rf-team") << true << "labs/rf-team" << 1;
    QTest::newRow("unchanged custom logs again") << labs << QString() << true << labs << 1;
    QTest::newRow("cancel changes nothing")
        << labs << QString("typed but cancelled") << false << QString() << 0;
}

void MainWindowTest::branchDialog()
{
    QFETCH(QString, before);
    QFETCH(QString, typed);
    QFETCH(bool, accept);
    QFETCH(QString, requested);
    QFETCH(int, branchLines);

    branchSettings().setValue(QStringLiteral("ReleaseBranch"), before);
    MainWindow window(quietServer->baseUrl());
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const int linesBefore = statusLog(&window).size();
    QSignalSpy requests(&cloud(window), &NVKCloudInterface::versions_update);

    QString shown;
    QWidget *dialogParent = nullptr;
    answerBranchDialog(typed, accept, &shown, &dialogParent);
    QTest::mouseClick(window.findChild<QPushButton *>("branchButton"), Qt::LeftButton);

    QCOMPARE(dialogParent, &window);
    QCOMPARE(shown, before);
    const QString stored = typed.isNull() || !accept ? before : typed;
    QCOMPARE(branchSettings().value(QStringLiteral("ReleaseBranch")).toString(), stored);
    QCOMPARE(requests.isEmpty(), requested.isNull());
    if (!requested.isNull())
        QCOMPARE(cloud(window).branch(), requested);
    const QList<LogLine> lines = statusLog(&window);
    QCOMPARE(lines.size(), linesBefore + branchLines);
    if (branchLines)
        QCOMPARE(lines.last().first, QStringLiteral("Branch Path: ") + requested);
}

// What a screen reader announces: every list, the log, the bar, the logos and the branch box
// have a name, and the lists and the box are labelled by the visible label beside them.
void MainWindowTest::everyControlIsNamedForScreenReaders()
{
    MainWindow window(quietServer->baseUrl());
    releaseBranchDialog dialog(&window);
    const auto accessible = [&](const char *name) {
        return QAccessible::queryAccessibleInterface(window.findChild<QWidget *>(name));
    };
    for (const char *name : {"serialPortCombo", "versionsCombo", "statusText", "progressBar",
                             "label_3", "label_6", "branchNameTextBox"})
        QVERIFY2(accessible(name) && !accessible(name)->text(QAccessible::Name).isEmpty(), name);
    for (const char *name : {"serialPortCombo", "versionsCombo", "branchNameTextBox"})
        QVERIFY2(!accessible(name)->relations(QAccessible::Label).isEmpty(), name);
}

// Every colour the log is written in, as it lands in the log, and the log's own text colour,
// against the background the log paints: in a light and a dark scheme (the log keeps its white,
// the window its grey), and on a log that a style paints dark. Each keeps its hue, so red still
// reads as red.
void MainWindowTest::everyLogColourIsReadable_data()
{
    QTest::addColumn<QColor>("applicationButton"); // invalid: the scheme as it is
    QTest::addColumn<QColor>("logBase");           // invalid: the form's own
    QTest::newRow("light scheme") << QColor() << QColor();
    QTest::newRow("dark scheme") << QColor(0x2a, 0x2e, 0x32) << QColor();
    QTest::newRow("log painted dark") << QColor(0x2a, 0x2e, 0x32) << QColor(0x1e, 0x1e, 0x1e);
}

void MainWindowTest::everyLogColourIsReadable()
{
    QFETCH(QColor, applicationButton);
    QFETCH(QColor, logBase);
    constexpr double wcagAA = 4.5;
    constexpr int hueSlack = 4; // degrees

    const QPalette applicationPalette = QApplication::palette();
    if (applicationButton.isValid())
        QApplication::setPalette(QPalette(applicationButton));
    const auto restorePalette = qScopeGuard([&] { QApplication::setPalette(applicationPalette); });
    MainWindow window(quietServer->baseUrl());
    if (logBase.isValid()) {
        QPalette dark = statusText(window)->palette();
        dark.setColor(QPalette::Base, logBase);
        statusText(window)->setPalette(dark);
    }
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QStringList names{"Black", "Green", "Orange", "Red"};
    for (const QString &name : names)
        window.writeStatus(name, name);

    QWidget *viewport = statusText(window)->viewport();
    const QColor background =
        viewport->grab().toImage().pixelColor(viewport->width() - 3, viewport->height() - 3);
    for (const LogLine &line : statusLog(&window).mid(2)) {
        if (!names.contains(line.first))
            continue;
        const double ratio = contrast(background, line.second);
        QVERIFY2(ratio >= wcagAA,
                 qPrintable(QStringLiteral("%1 %2 on %3: %4")
                                .arg(line.first, line.second.name(), background.name())
                                .arg(ratio)));
        QColor named;
        named.setNamedColor(line.first);
        if (named.hue() >= 0)
            QVERIFY2(std::abs(line.second.hue() - named.hue()) <= hueSlack, qPrintable(line.first));
    }
    // The log's own text colour; a test that paints the log dark sets only its base.
    if (!logBase.isValid())
        QVERIFY(contrast(background, statusText(window)->palette().color(QPalette::Text)) >=
                wcagAA);
    QCOMPARE(window.palette().color(QPalette::Window), QColor(118, 118, 118));
}

// While a run locks the controls, "Show Betas" is still there to read on the window's grey.
void MainWindowTest::lockedShowBetasStaysReadable()
{
    constexpr double readableDisabled = 3.0;
    MainWindow window(quietServer->baseUrl());
    auto *betas = window.findChild<QCheckBox *>("showBetaCheckBox");
    betas->setEnabled(false);
    const QColor text = betas->palette().color(QPalette::Disabled, QPalette::WindowText);
    const QColor grey = window.palette().color(QPalette::Window);
    QVERIFY2(contrast(text, grey) >= readableDisabled, qPrintable(text.name()));
    // Still visibly the disabled one: dimmer than the white of an enabled label.
    QVERIFY(text != betas->palette().color(QPalette::Active, QPalette::WindowText));
}

// Started while the server is down, the window asks again by itself: one red failure with its
// next step, however many attempts fail, then one line when the list arrives.
void MainWindowTest::listComesBackByItself()
{
    ReleaseFolder folder;
    QVERIFY(folder.publish(
        QStringLiteral("cust"),
        {{QStringLiteral("1.0.0"), {{"DOVUr3_firmware", ReleaseFolder::image(5000, 3)}}}}));
    ReleaseServer server(folder.path());
    ServerFaults down;
    down.pathContains = QStringLiteral("lumetrarelease");
    down.status = 503;
    server.setFaults(down);
    QVERIFY(server.start() != 0);

    MainWindow window(server.baseUrl());
    window.setCatalogueRetryInterval(100);
    QTRY_VERIFY(server.requests().size() >= 3); // several attempts, all refused
    server.setFaults(ServerFaults());
    QTRY_COMPARE(window.findChild<QComboBox *>("versionsCombo")->currentText(), QString("1.0.0"));

    const QList<LogLine> expected{{"No Internet Connection", logRed},
                                  {"server answered HTTP 503", logRed},
                                  {checkNetwork, logRed},
                                  {"Release list received: 1 versions", logGreen}};
    QCOMPARE(statusLog(&window).mid(2), expected);
    // Nothing more is asked once the list is there.
    const qsizetype asked = server.requests().size();
    QTest::qWait(300);
    QCOMPARE(server.requests().size(), asked);
}

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
