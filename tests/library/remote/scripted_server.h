// A loopback TCP server for channel tests: reads requests up to "</DATA>",
// records them, and answers each with what a responder returns. Runs on its
// own thread; accepts any number of connections one after another.
#ifndef QV_TESTS_REMOTE_SCRIPTED_SERVER_H
#define QV_TESTS_REMOTE_SCRIPTED_SERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv::testing {

class ScriptedServer {
 public:
  // Returns the reply to one request ("" sends nothing).
  using Responder = std::function<std::string(const std::string& request)>;

  explicit ScriptedServer(Responder responder) : responder_(std::move(responder)) {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listen_, 4);
    socklen_t length = sizeof address;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }

  ~ScriptedServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      if (client_ >= 0) shutdown(client_, SHUT_RDWR);
    }
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }

  uint16_t port() const { return port_; }

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  int connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }

 private:
  void Run() {
    for (;;) {
      const int client = accept(listen_, nullptr, nullptr);
      if (client < 0) return;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) {
          close(client);
          return;
        }
        client_ = client;
        ++connections_;
      }
      Serve(client);
      std::lock_guard lock(mutex_);
      client_ = -1;
      close(client);
    }
  }

  void Serve(int client) {
    std::string buffer;
    char chunk[4096];
    for (;;) {
      size_t end;
      while ((end = buffer.find("</DATA>")) == std::string::npos) {
        const ssize_t got = recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) return;
        buffer.append(chunk, static_cast<size_t>(got));
      }
      const std::string request = buffer.substr(0, end + 7);
      buffer.erase(0, end + 7);
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      const std::string reply = responder_(request);
      if (!reply.empty() && send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) return;
    }
  }

  Responder responder_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  int client_ = -1;
  bool stopping_ = false;
};

}  // namespace qv::testing

#endif
