#include "loopback_http_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

namespace {

constexpr const char kAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

void StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

// Waits up to 50 ms for the socket to be readable.
bool Readable(SOCKET socket)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval wait{0, 50000};
    return select(0, &set, nullptr, nullptr, &wait) == 1;
}

sockaddr_in Loopback(unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(Behaviour behaviour, unsigned short port) : m_behaviour(behaviour)
{
    StartWinsock();
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(port);
    int length = sizeof address;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener != INVALID_SOCKET) {
            closesocket(listener);
        }
        return;
    }
    m_listener = listener;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (unsigned long long socket : m_heldOpen) {
        closesocket(static_cast<SOCKET>(socket));
    }
    if (Listening()) {
        closesocket(static_cast<SOCKET>(m_listener));
    }
}

void LoopbackHttpServer::Serve()
{
    const SOCKET listener = static_cast<SOCKET>(m_listener);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_stop) {
                return;
            }
        }
        if (!Readable(listener)) {
            continue;
        }
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            continue;
        }
        std::string request;
        bool stop = false;
        while (!stop && request.find("\r\n\r\n") == std::string::npos) {
            if (Readable(client)) {
                char buffer[1024];
                const int got = recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) {
                    break;
                }
                request.append(buffer, static_cast<size_t>(got));
            }
            std::lock_guard<std::mutex> lock(m_lock);
            stop = m_stop;
        }
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_connections;
            m_requests.push_back(request);
            if (m_behaviour == Behaviour::Silent) {
                m_heldOpen.push_back(client);
            }
        }
        m_changed.notify_all();
        if (m_behaviour == Behaviour::Answer) {
            send(client, kAnswer, sizeof kAnswer - 1, 0);
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }
}

std::string LoopbackHttpServer::WaitForRequest(unsigned long timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_requests.empty(); });
    return m_requests.empty() ? std::string() : m_requests.front();
}

int LoopbackHttpServer::Connections()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_connections;
}

unsigned short RefusingLoopbackPort()
{
    StartWinsock();
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    int length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);  // bound, never listened on, now free again
    return ntohs(address.sin_port);
}
