// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A release server at its most hostile: an HTTP/1.1 server on 127.0.0.1 that answers chosen paths
// with a fixed body and others with a `Transfer-Encoding: chunked` body of gigabytes, written as
// fast as the client takes it. It runs on plain threads and blocking sockets, so it floods at
// loopback speed whatever the process that hosts it is doing.
//
// Each answer closes its connection. A request that no answer matches gets a 404.
class FloodServer
{
public:
    struct Answer
    {
        std::string pathContains;     // the first answer whose text the request path holds is given
        std::string body;             // sent whole, with its Content-Length, when floodBytes is 0
        std::uint64_t floodBytes = 0; // > 0: this many bytes instead, chunked, no length announced
        std::string extraHeaders;     // each "Name: value\r\n"
    };

    explicit FloodServer(const std::vector<Answer> &answers);
    ~FloodServer();
    FloodServer(const FloodServer &) = delete;
    FloodServer &operator=(const FloodServer &) = delete;

    // 0 when it could not listen.
    std::uint16_t port() const { return listeningPort; }
    std::string baseUrl() const;
    // Flood bytes written so far, on all connections.
    std::uint64_t floodBytesSent() const { return flooded.load(); }

private:
    void acceptLoop();
    void serve(int connection);
    void flood(int connection, std::uint64_t bytes);

    std::vector<Answer> answers;
    int listener = -1;
    std::uint16_t listeningPort = 0;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> flooded{0};
    std::thread acceptor;
    std::mutex connectionsLock;
    std::vector<int> connections;
    std::vector<std::thread> servers;
};
