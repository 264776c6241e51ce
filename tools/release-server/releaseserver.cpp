// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releaseserver.h"

#include "releasehttpserver.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QThread>

ReleaseServer::ReleaseServer(const QString &releaseFolder)
    : thread(new QThread), threadAnchor(new QObject)
{
    // The server is made on its own thread so that everything it creates (listening and
    // connection sockets, timers of delayed answers) belongs to that thread from the start.
    thread->setObjectName(QStringLiteral("release-server"));
    threadAnchor->moveToThread(thread);
    thread->start();
    QMetaObject::invokeMethod(
        threadAnchor, [this, releaseFolder] { server = new ReleaseHttpServer(releaseFolder); },
        Qt::BlockingQueuedConnection);
}

ReleaseServer::~ReleaseServer()
{
    // The server, its sockets and its pending delayed answers end on their thread, before it
    // stops.
    QMetaObject::invokeMethod(
        threadAnchor, [this] { delete server; }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete threadAnchor;
    delete thread;
}

quint16 ReleaseServer::start(quint16 port)
{
    if (listeningPort != 0)
        return listeningPort;

    quint16 bound = 0;
    QMetaObject::invokeMethod(
        threadAnchor,
        [this, port, &bound] { bound = server->listen(QHostAddress::LocalHost, port); },
        Qt::BlockingQueuedConnection);
    listeningPort = bound;
    return listeningPort;
}

QString ReleaseServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(listeningPort);
}

void ReleaseServer::setFaults(const ServerFaults &faults)
{
    server->setFaults(faults);
}

void ReleaseServer::setLogging(bool enabled)
{
    server->setLogging(enabled);
}

QStringList ReleaseServer::requests() const
{
    return server->requests();
}

void ReleaseServer::clearRequests()
{
    server->clearRequests();
}
