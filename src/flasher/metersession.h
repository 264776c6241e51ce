// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class FirmwareFlasher;
class SerialLink;

// One image to write: the name that travels in the header block, and the bytes as they are.
struct MeterImage
{
    QString name;
    QByteArray bytes;
};

// The device half of an update, shared by the window's workflow and lumetra-flash so that both
// talk to the meter in exactly the same way: open its port with retries, ask the meter who it
// is, check that it is a compatible product, write a list of images, send the closing command
// and let go of the port. Like the link and the flasher it writes no text: each program says in
// its own words what happened.
//
// It works on a link and a flasher that its owner holds (the window holds both by value) and
// leaves the link's holds to the owner, who releases them at the end of a run.
class MeterSession
{
public:
    // What happens to an image of the list, reported before (or, for Failed, after) it happens.
    enum class ImageStep {
        Refused, // too small to be a firmware image: it is not written
        BadName, // its name cannot travel in the header block: no image of the list is written
        Writing, // about to be written
        Failed   // the transfer stopped before its end
    };
    using ImageReport = std::function<void(ImageStep step, const QString &name)>;

    MeterSession(SerialLink &link, FirmwareFlasher &flasher);

    // Acquires the link on portName, at most acquireAttempts times with a pause after each failed
    // attempt, and attaches the flasher once the port is open. A link already held is only held
    // once more. Returns whether the port is open.
    bool open(const QString &portName);
    // The meter's answer to one product query, trimmed; empty when it does not answer.
    QString identify();
    // The check just before writing: at most productCheckAttempts queries, a pause after each
    // failed one. The last answer is kept in the flasher's deviceReply.
    bool checkProduct();
    // Writes the images in list order. One that is refused or fails does not stop the others,
    // but then the result is false. A name that cannot travel in the header block stops the
    // whole list before anything is sent: a release is written whole or not at all.
    bool flashImages(const QList<MeterImage> &images, const ImageReport &report);
    // "R" ends an update on the meter's side, whatever the result; nothing is read back. When the
    // link cannot be held it is skipped.
    void sendClosingCommand();
    // Lets go of every hold on the link, which closes the port, however many images were written.
    void release();

    // Whether a product reply names a meter this program may update.
    static bool isCompatible(const QString &productReply);

    // The meter's one-byte commands besides the flasher's "D".
    static constexpr char productQuery = 'P';
    static constexpr char closingCommand = 'R';
    static constexpr int acquireAttempts = 11;
    static constexpr int productCheckAttempts = 2;
    // Anything smaller cannot be a firmware image (an error page, a truncated file).
    static constexpr int smallestImageBytes = 4096;

    int acquireRetryPauseMs = 1000;
    int productCheckPauseMs = 1000;

private:
    SerialLink &link;
    FirmwareFlasher &flasher;
};
