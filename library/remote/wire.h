// Texts of the remote administration protocol, shared by the client (this
// library) and the listener (qvadmind): requests, replies and parameters.
//
// Messages are 8-bit text in an XML-like mark-up without length prefix or line
// ends; a message ends with "</DATA>". A parameter is
// "<PARAMETERn SIZE=m>text</PARAMETERn>" where m is the raw length and text is
// the raw bytes compressed (lzw.h) and base64-encoded.
//
// Functions without shared state; safe to call from any thread.
#ifndef QVAISO_REMOTE_WIRE_H
#define QVAISO_REMOTE_WIRE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qvaiso::wire {

inline constexpr std::string_view kPing = "<DATA><METHOD>PING</METHOD></DATA>";
inline constexpr std::string_view kQuit = "<DATA><METHOD>QUIT</METHOD></DATA>";
inline constexpr std::string_view kSuccess = "<DATA><STATUS>SUCCESS</STATUS></DATA>";
inline constexpr std::string_view kEnd = "</DATA>";

// The library named in every AUTH request.
inline constexpr std::string_view kAuthLibrary = "QVAIAU.DLL";

// Sends all of `data` on a connected socket (retrying short writes and
// interruptions, never raising SIGPIPE); false when the connection fails.
bool SendAll(int socket, std::string_view data);

std::string AuthRequest(std::string_view protocol, std::string_view credentials);
std::string LoadRequest(std::string_view library);

// Builds an EXEC or SETTING request; parameters go in the order added, each
// numbered from 1.
class Request {
 public:
  enum class Method { Exec, Setting };
  Request(Method method, std::string_view function);

  // Raw bytes, sent with their own size.
  void AddBytes(std::span<const uint8_t> bytes);
  void AddBytes(const void* bytes, size_t size);
  // A string goes with its terminator and one further zero byte (size = length + 2).
  void AddString(std::string_view text);
  // A 32-bit number, little-endian.
  void AddNumber(uint32_t number);

  int parameterCount() const { return count_; }
  std::string Text() const;

 private:
  std::string head_;
  std::string parameters_;
  int count_ = 0;
};

// "<PARAMETERn SIZE=m>...</PARAMETERn>" for raw bytes.
std::string EncodeParameter(int number, std::span<const uint8_t> bytes);

// Encodes the raw bytes of a parameter: compressed, then base64.
std::string EncodeParameterBytes(std::span<const uint8_t> bytes);

// Decodes parameter text (base64, then decompressed), refusing anything that
// does not decode to exactly `size` bytes or exceeds `limit` bytes.
std::optional<std::string> DecodeParameterBytes(std::string_view text, size_t size, size_t limit);

// One parameter as found in a message: its SIZE attribute and its text.
struct RawParameter {
  size_t size = 0;
  std::string_view text;
};

// Finds parameter `number` the way a reply is read: the first "<PARAMETER"
// followed by the number (and no further digit), its SIZE attribute up to the
// next ">", its text up to "</PARAMETERn>". Absent when any piece is missing
// or malformed.
std::optional<RawParameter> FindParameter(std::string_view message, int number);

// Finds and decodes parameter `number`, at most `limit` bytes.
std::optional<std::string> ReadParameter(std::string_view message, int number, size_t limit);

// The text between "<tag>" and the following "</tag>" (exact case), or absent.
std::optional<std::string_view> ElementText(std::string_view message, std::string_view tag);

// Reply texts of the listener.
std::string FailureReply(std::string_view reason);
// A reply with STATUS SUCCESS and the given encoded parameters.
std::string SuccessReply(std::string_view encodedParameters);

}  // namespace qvaiso::wire

#endif
