// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// SerialLink against a plain pseudo-terminal: the test writes the device's bytes on the master end
// itself, so it decides exactly what arrives in one pass.
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

#include <unistd.h>

class TestSerialLink : public QObject
{
    Q_OBJECT

private:
    PseudoTerminal terminal;

    void deviceSends(const QByteArray &bytes)
    {
        QCOMPARE(::write(terminal.masterFd(), bytes.constData(), bytes.size()), bytes.size());
    }

private slots:
    void init() { QVERIFY(terminal.open()); }

    void holdsAreCountedAndTheLastReleaseCloses()
    {
        SerialLink link;
        QVERIFY(!link.acquire(1000, QStringLiteral("/dev/ttyLumetraMissing")));
        QCOMPARE(link.holds(), 0);
        QVERIFY(link.acquire(6000, terminal.slavePath()));
        // A second holder gets the open port; its name is not remembered, its limit is.
        QVERIFY(link.acquire(1000, QStringLiteral("/dev/null")));
        QCOMPARE(link.holds(), 2);
        QCOMPARE(link.readLimitMs(), 1000);
        link.release();
        QVERIFY(link.isOpen());
        link.release();
        QVERIFY(!link.isOpen());
        link.release(); // more releases than holds do nothing
        QCOMPARE(link.holds(), 0);

        // Reopened under the remembered name when later holders pass none.
        QVERIFY(link.acquire(1000, QString()));
        deviceSends("same device\r");
        QCOMPARE(link.readReply(1), QStringLiteral("same device\r"));
        link.release();
    }

    // Every case first leaves stale bytes on the line that drainInput must remove.
    void readReplyStopsOnlyAtTheExactCount_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("sentAfterMs"); // 0: before the read starts
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("waitsFullLimit");
        QTest::newRow("one line ends at its CR")
            << QByteArray("DOVUr3\r") << 0 << "DOVUr3\r" << false;
        QTest::newRow("CR LF in one pass keeps both")
            << QByteArray("DOVUr3\r\n") << 0 << "DOVUr3\r\n"
            << false;
        QTest::newRow("two lines in one pass overshoot and wait for the limit")
            << QByteArray("one\rtwo\r") << 0 << "one\rtwo\r" << true;
        QTest::newRow("text after a NUL in the pass is dropped")
            << QByteArray("ok\r\0junk", 8) << 0 << "ok\r" << false;
        QTest::newRow("silent device gives empty text") << QByteArray() << 0 << "" << true;
        // Waiting a whole limit again after the fragment would end 200 ms late.
        QTest::newRow("fragment without CR part-way: the limit does not start again")
            << QByteArray("DOVU") << 200 << "DOVU" << true;
    }

    void readReplyStopsOnlyAtTheExactCount()
    {
        QFETCH(QByteArray, sent);
        QFETCH(int, sentAfterMs);
        QFETCH(QString, expected);
        QFETCH(bool, waitsFullLimit);
        SerialLink link;
        const int limitMs = 300;
        QVERIFY(link.acquire(limitMs, terminal.slavePath()));
        deviceSends("stale banner\r\nmore stale bytes");
        QTest::qWait(20);
        link.drainInput();
        if (!sent.isEmpty() && sentAfterMs == 0)
            deviceSends(sent);
        // The read blocks this thread, so a device that answers part-way writes from another.
        const int master = terminal.masterFd();
        const std::unique_ptr<QThread> lateDevice(QThread::create([&] {
            QThread::msleep(sentAfterMs);
            if (sentAfterMs > 0 && ::write(master, sent.constData(), sent.size()) != sent.size())
                qWarning("the device's late bytes were not written");
        }));
        QElapsedTimer elapsed;
        elapsed.start();
        lateDevice->start();
        QCOMPARE(link.readReply(1), expected);
        lateDevice->wait();
        // Each wait takes only the time left of the limit: one limit, never two.
        if (waitsFullLimit)
            QVERIFY2(elapsed.elapsed() >= limitMs && elapsed.elapsed() < limitMs + 150,
                     qPrintable(QString::number(elapsed.elapsed())));
        else
            QVERIFY2(elapsed.elapsed() < limitMs, qPrintable(QString::number(elapsed.elapsed())));
        link.release();
    }

    // With the owner's hook set, a wait runs it every slice and still ends on time, however the
    // device behaves. A test timer, fired by the hook's event processing, plays a device that
    // prints without pause.
    void waitsRunTheHookAndEndOnTime_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("chatter");
        QTest::addColumn<int>("expectedMs");
        QTest::newRow("drain ends after its quiet window") << "drain" << false << 100;
        QTest::newRow("drain ends after 1 s of chatter") << "drain" << true << 1000;
        QTest::newRow("reply read ends at its limit through chatter") << "reply" << true << 400;
        QTest::newRow("pause between attempts") << "pause" << false << 300;
    }

    void waitsRunTheHookAndEndOnTime()
    {
        QFETCH(QString, operation);
        QFETCH(bool, chatter);
        QFETCH(int, expectedMs);
        SerialLink link;
        QVERIFY(link.acquire(400, terminal.slavePath()));
        QTimer device;
        connect(&device, &QTimer::timeout, this, [this] { deviceSends("."); });
        if (chatter)
            device.start(5);
        QElapsedTimer sinceHook;
        qint64 longestGapMs = 0;
        link.setWaitHook([&] {
            longestGapMs = qMax(longestGapMs, sinceHook.restart());
            QCoreApplication::processEvents();
        });

        QElapsedTimer elapsed;
        elapsed.start();
        sinceHook.start();
        if (operation == QLatin1String("drain"))
            link.drainInput();
        else if (operation == QLatin1String("reply"))
            QVERIFY(!link.readReply(1).isEmpty());
        else
            link.pause(expectedMs);
        const qint64 tookMs = elapsed.elapsed();
        longestGapMs = qMax(longestGapMs, sinceHook.elapsed());
        // The lower bound is the wait itself; the upper one only says it ends, with room for a
        // loaded machine (the precise pace is the flasher benchmark's to measure).
        QVERIFY2(tookMs >= expectedMs && tookMs < expectedMs + 1000,
                 qPrintable(QString::number(tookMs)));
        QVERIFY2(longestGapMs < 500, qPrintable(QString::number(longestGapMs)));
        link.release();
    }

    // An unplug hangs the port up: every operation must end at once instead of spinning through
    // or waiting out its limits.
    void unpluggedPortEndsEveryOperationAtOnce()
    {
        SerialLink link;
        QVERIFY(link.acquire(3000, terminal.slavePath()));
        deviceSends("partial");
        QTest::qWait(20);
        terminal.closeMaster();

        QElapsedTimer elapsed;
        elapsed.start();
        link.drainInput();
        QVERIFY(link.failed());
        QCOMPARE(link.readReply(1), QString());
        QCOMPARE(link.sendCommand(QStringLiteral("P"), 3000, 1), QString());
        QVERIFY(!link.sendBytes("x"));
        QVERIFY2(elapsed.elapsed() < 500, qPrintable(QString::number(elapsed.elapsed())));

        // The failure belongs to that open: after the last release a new device opens cleanly.
        link.release();
        QVERIFY(terminal.open());
        QVERIFY(link.acquire(500, terminal.slavePath()));
        QVERIFY(!link.failed());
        link.release();
    }
};

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
