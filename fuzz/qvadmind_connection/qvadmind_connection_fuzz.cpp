// The administration listener's handling of connections: several connections
// receive interleaved pieces of requests, as a network delivers them, and
// each complete request is answered as the listener answers it (without the
// sockets). The input is a sequence of pieces: one byte choosing the
// connection, one byte giving the piece's length, then the piece's bytes.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/services/services.h"
#include "tools/qvadmind/listener.h"
#include "tools/qvadmind/request.h"

namespace {

constexpr int kConnections = 4;

qv::services::FakeManager* g_services = nullptr;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Registry calls go to hives of a scratch folder; services to a fake
  // manager, never to the machine's.
  char folder[] = "/tmp/qvadmind-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr) std::abort();
  setenv("QUORVIA_HKLM", (std::string(folder) + "/hklm.db").c_str(), 1);
  setenv("QUORVIA_HKCU", (std::string(folder) + "/hkcu.db").c_str(), 1);
  g_services = new qv::services::FakeManager();
  g_services->Add("QuorviaSMTP", qv::services::State::Running);
  qv::services::SetFakeManagerForTesting(g_services);
  // What the library prints (service control lines) is of no interest here.
  if (freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvadmind::Listener listener({{"Basic", "admin:secret"}}, qvadmind::ListenerLimits{});
  std::vector<qvadmind::ConnectionState> connections(kConnections);
  for (auto& connection : connections) connection.address = "192.0.2.1";
  size_t at = 0;
  while (at + 2 <= size) {
    const size_t which = data[at] % kConnections;
    const size_t length = data[at + 1];
    at += 2;
    const size_t take = std::min(length, size - at);
    qvadmind::ConnectionState& state = connections[which];
    const std::string peer = "192.0.2.1:" + std::to_string(1000 + which);
    state.buffer.append(reinterpret_cast<const char*>(data + at), take);
    at += take;
    std::string reply;
    while (!state.close && listener.Next(&state, peer, &reply)) {
      // Every answer is one whole reply of the protocol.
      Check(reply.rfind("<DATA>", 0) == 0);
      Check(reply.size() >= 13 && reply.compare(reply.size() - 7, 7, "</DATA>") == 0);
      Check(state.failedAuths <= qvadmind::kMaxFailedAuths);
      Check(!state.libraryLoaded || state.authenticated);
      reply.clear();
    }
    // What waits for more is never more than one request's worth.
    Check(state.close || state.buffer.size() <= qvadmind::kMaxRequestBytes);
    if (state.close) {  // the peer connects again
      state = qvadmind::ConnectionState();
      state.address = "192.0.2.1";
    }
  }
  return 0;
}
