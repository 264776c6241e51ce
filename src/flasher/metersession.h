// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "sleepinhibitor.h"
#include "updatestep.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class FirmwareFlasher;
class SerialLink;

// One image to write: the name that travels in the header block, and the bytes as they are.
struct MeterImage
{
    QString name;
    QByteArray bytes;
};

// The device half of an update, shared by the window's workflow and lumetra-flash so that both
// talk to the meter in exactly the same way and tell the same story. It runs in two calls joined
// by the download, which each program makes in its own way:
//  - connect(): the chosen meter must still be attached; open its port with retries and ask the
//    meter who it is;
//  - install(): open the port again, "Flashing Firmware", check the product, "Updating...", write
//    every image, send the closing command "R", give the result and let go of the port. From the
//    product check to "R" the computer is kept from sleeping.
// Every step goes to the report as an UpdateStep; like the link and the flasher the session writes
// no text of its own, and each program shows the steps in its own colours.
//
// It works on a link and a flasher that its owner holds (the window holds both by value).
class MeterSession
{
public:
    // The pauses between attempts, in milliseconds. The programs keep the defaults; tests shorten
    // them.
    struct Timing
    {
        int acquireRetryPauseMs = 1000;
        int productCheckPauseMs = 1000;
    };

    using StepReport = std::function<void(const UpdateStep &step)>;

    // programName is the name the sleep lock is taken under.
    MeterSession(SerialLink &link, FirmwareFlasher &flasher, const QString &programName);

    void setReport(const StepReport &report) { reportStep = report; }
    void setTiming(const Timing &timing) { limits = timing; }
    // Runs between the slices of every wait, on the serial line and for the sleep lock.
    void setWaitHook(const std::function<void()> &hook);

    // The chosen meter's trimmed answer to the product query once its port is open and it has
    // identified as a compatible product; nothing (after reporting why) otherwise. The link keeps
    // the hold it took until release().
    std::optional<QString> connect(const QString &portName);
    // Everything from opening the port again to letting it go; version names what is written.
    // How it ended: the failure that decides the update (UpdateStep::isFailure()), or the
    // "Update complete" step.
    UpdateStep install(const QString &portName, const QString &version,
                       const QList<MeterImage> &images);
    // Writes the images in list order. One that is refused or fails does not stop the others,
    // but then the outcome says so. A name that cannot travel in the header block stops the whole
    // list before anything is sent: a release is written whole or not at all.
    UpdateStep flashImages(const QList<MeterImage> &images);
    // Lets go of every hold on the link, which closes the port, however many images were written.
    void release();

    // Whether a product reply names a meter this program may update.
    static bool isCompatible(const QString &productReply);
    // Whether the meter on portName is attached in bootloader mode right now.
    static bool isAttached(const QString &portName);

    static constexpr int acquireAttempts = 11;
    // Opens refused for want of permission, in a row, after which the attempts stop.
    static constexpr int accessRefusalsToGiveUp = 2;
    static constexpr int productCheckAttempts = 2;
    // Anything smaller cannot be a firmware image (an error page, a truncated file).
    static constexpr int smallestImageBytes = 4096;

private:
    // Acquires the link on portName, at most acquireAttempts times with a pause after each failed
    // attempt (but no more once accessRefusalsToGiveUp opens in a row were refused for want of
    // permission), and attaches the flasher once the port is open. A link already held is only held
    // once more. Returns whether the port is open.
    bool open(const QString &portName);
    // The meter's answer to one product query, trimmed; empty when it does not answer.
    QString identify();
    // The check just before writing: at most productCheckAttempts queries, a pause after each
    // failed one. The last answer is kept in the flasher.
    bool checkProduct();
    // The product check, the images and "R", under the sleep lock.
    UpdateStep writeRelease(const QString &portName, const QList<MeterImage> &images);
    // "R" ends an update on the meter's side, whatever the result; nothing is read back. When the
    // link cannot be held it is skipped.
    void sendClosingCommand();
    void report(const UpdateStep &step) const;

    SerialLink &link;
    FirmwareFlasher &flasher;
    SleepInhibitor sleepLock;
    StepReport reportStep;
    Timing limits;
    // The images of the latest flashImages whose transfer stopped early, as reported.
    QList<UpdateStep> imageFailures;
};
