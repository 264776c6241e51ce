// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "floodserver.h"

#include <algorithm>
#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t chunkBytes = 256 * 1024;
constexpr std::size_t longestRequest = 64 * 1024;
constexpr int backlog = 16;
const std::string headerEnd = "\r\n\r\n";

bool sendAll(int connection, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(connection, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= std::size_t(sent);
    }
    return true;
}

bool sendAll(int connection, const std::string &text)
{
    return sendAll(connection, text.data(), text.size());
}

// The path of "GET /path HTTP/1.1"; empty when the request is not one.
std::string requestPath(const std::string &request)
{
    const std::size_t start = request.find(' ');
    const std::size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
    if (end == std::string::npos)
        return std::string();
    return request.substr(start + 1, end - start - 1);
}

} // namespace

FloodServer::FloodServer(const std::vector<Answer> &serverAnswers) : answers(serverAnswers)
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(listener, backlog) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    listeningPort = ntohs(address.sin_port);
    acceptor = std::thread([this] { acceptLoop(); });
}

FloodServer::~FloodServer()
{
    stopping = true;
    if (listener >= 0)
        ::shutdown(listener, SHUT_RDWR);
    if (acceptor.joinable())
        acceptor.join();
    {
        const std::lock_guard<std::mutex> locked(connectionsLock);
        for (const int connection : connections)
            ::shutdown(connection, SHUT_RDWR);
    }
    for (std::thread &server : servers)
        server.join();
    for (const int connection : connections)
        ::close(connection);
    if (listener >= 0)
        ::close(listener);
}

std::string FloodServer::baseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(listeningPort);
}

void FloodServer::acceptLoop()
{
    while (!stopping) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        const std::lock_guard<std::mutex> locked(connectionsLock);
        connections.push_back(connection);
        servers.emplace_back([this, connection] { serve(connection); });
    }
}

void FloodServer::serve(int connection)
{
    std::string request;
    char buffer[4096];
    while (request.find(headerEnd) == std::string::npos && request.size() < longestRequest) {
        const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            return;
        request.append(buffer, std::size_t(got));
    }
    const std::string path = requestPath(request);
    const auto answer = std::find_if(answers.cbegin(), answers.cend(), [&](const Answer &a) {
        return path.find(a.pathContains) != std::string::npos;
    });
    if (answer == answers.cend()) {
        sendAll(connection, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: "
                            "close\r\n\r\n");
    } else if (answer->floodBytes > 0) {
        if (sendAll(connection, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: "
                                "close\r\n" +
                                    answer->extraHeaders + "\r\n"))
            flood(connection, answer->floodBytes);
    } else {
        sendAll(connection,
                "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer->body.size()) +
                    "\r\nConnection: close\r\n" + answer->extraHeaders + "\r\n" + answer->body);
    }
    ::shutdown(connection, SHUT_WR);
}

void FloodServer::flood(int connection, std::uint64_t bytes)
{
    // Printable filler: whatever the client does with the bytes, nothing in them is a control.
    // Each whole chunk goes out in one write, its size line and end included.
    char sizeLine[32];
    const int lineLength = std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", chunkBytes);
    const std::string chunk =
        std::string(sizeLine, std::size_t(lineLength)) + std::string(chunkBytes, 'x') + "\r\n";
    while (bytes >= chunkBytes && !stopping) {
        if (!sendAll(connection, chunk))
            return;
        flooded += chunkBytes;
        bytes -= chunkBytes;
    }
    if (bytes > 0) {
        const int length = std::snprintf(sizeLine, sizeof sizeLine, "%zx\r\n", std::size_t(bytes));
        if (!sendAll(connection, sizeLine, std::size_t(length)) ||
            !sendAll(connection, std::string(std::size_t(bytes), 'x') + "\r\n"))
            return;
        flooded += bytes;
    }
    sendAll(connection, "0\r\n\r\n");
}
