#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A statistics server on 127.0.0.1 for the usage-request tests. It records
// the bytes of every request header it receives; it either answers with a
// short 200 response or accepts and never answers (until it is destroyed).
class LoopbackHttpServer {
public:
    enum class Behaviour { Answer, Silent };

    // port 0 takes any free port. Listening() tells whether it could bind.
    explicit LoopbackHttpServer(Behaviour behaviour, unsigned short port = 0);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool Listening() const { return m_listener != ~0ull; }
    unsigned short Port() const { return m_port; }
    std::string Endpoint() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    // The first request's header (up to and with its blank line), waiting at
    // most timeoutMs for it; what arrived so far otherwise.
    std::string WaitForRequest(unsigned long timeoutMs);
    int Connections();

private:
    void Serve();

    Behaviour m_behaviour;
    unsigned long long m_listener = ~0ull;  // SOCKET
    unsigned short m_port = 0;
    std::mutex m_lock;  // guards everything below
    std::condition_variable m_changed;
    std::vector<std::string> m_requests;
    std::vector<unsigned long long> m_heldOpen;
    int m_connections = 0;
    bool m_stop = false;
    std::thread m_thread;
};

// A loopback port nobody listens on: connecting to it is refused.
unsigned short RefusingLoopbackPort();
