// A local TCP server that accepts connections and never sends a byte: blocking network opens
// against it wait until a time-out or an interrupt ends them. Header-only (no media libraries).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace testmedia {

struct SilentServer {
    int Listener = -1;
    int Port = 0;
    std::vector<int> Clients;
    std::thread Acceptor;

    explicit SilentServer(int AMaxClients = 4) {
        Listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
        listen(Listener, 4);
        Acceptor = std::thread([this, AMaxClients] {
            for (int i = 0; i < AMaxClients; ++i) {
                const int c = accept(Listener, nullptr, nullptr);
                if (c < 0) return;
                Clients.push_back(c);
            }
        });
    }
    ~SilentServer() {
        shutdown(Listener, SHUT_RDWR);
        close(Listener);
        Acceptor.join();
        for (int c : Clients) close(c);
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(Port); }
};

}  // namespace testmedia
