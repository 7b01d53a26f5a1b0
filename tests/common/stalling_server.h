// A server on loopback (on a port the system chooses) that misbehaves in
// time: kSilent takes connections, reads whatever comes and never answers;
// kTrickle reads the request, then sends a status line and headers that
// announce a large body and sends that body one byte at a time for as long as
// the client listens.
#ifndef QV_TESTS_COMMON_STALLING_SERVER_H
#define QV_TESTS_COMMON_STALLING_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace qv::testing {

class StallingServer {
 public:
  enum Mode { kSilent, kTrickle };

  explicit StallingServer(Mode mode, std::chrono::milliseconds byteEvery = std::chrono::milliseconds(100))
      : mode_(mode), byteEvery_(byteEvery) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~StallingServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  StallingServer(const StallingServer&) = delete;
  StallingServer& operator=(const StallingServer&) = delete;

  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // Connections taken so far.
  int connections() const { return connections_; }

 private:
  struct Client {
    int fd;
    std::string request;
    bool answering = false;
  };

  void Serve() {
    std::vector<Client> clients;
    auto nextByte = std::chrono::steady_clock::now();
    while (!stop_) {
      pollfd fd{listener_, POLLIN, 0};
      if (poll(&fd, 1, 10) == 1) {
        const int client = accept(listener_, nullptr, nullptr);
        if (client >= 0) {
          clients.push_back({client, {}, false});
          ++connections_;
        }
      }
      const bool byteDue = std::chrono::steady_clock::now() >= nextByte;
      if (byteDue) nextByte = std::chrono::steady_clock::now() + byteEvery_;
      for (Client& client : clients) {
        char buffer[4096];
        ssize_t n;
        while ((n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
          client.request.append(buffer, static_cast<size_t>(n));
        }
        if (mode_ != kTrickle) continue;
        if (!client.answering && client.request.find("\r\n\r\n") != std::string::npos) {
          client.answering = true;
          const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 1000000\r\n\r\n<";
          send(client.fd, head.data(), head.size(), MSG_NOSIGNAL);
        } else if (client.answering && byteDue) {
          send(client.fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
      }
    }
    for (const Client& client : clients) close(client.fd);
  }

  Mode mode_;
  std::chrono::milliseconds byteEvery_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace qv::testing

#endif
