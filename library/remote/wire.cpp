#include "library/remote/wire.h"

#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "library/remote/lzw.h"
#include "library/support/support.h"

namespace qvaiso::wire {
namespace {

constexpr std::string_view kParametersClose = "</PARAMETERS>";

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string AuthRequest(std::string_view protocol, std::string_view credentials) {
  std::string text = "<DATA><METHOD>AUTH</METHOD><PROTOCOL>";
  text += protocol;
  text += "</PROTOCOL><CREDENTIALS>";
  text += credentials;
  text += "</CREDENTIALS><REALM></REALM><Library>";
  text += kAuthLibrary;
  text += "</Library></DATA>";
  return text;
}

std::string LoadRequest(std::string_view library) {
  std::string text = "<DATA><METHOD>LOAD</METHOD><LIBRARY>";
  text += library;
  text += "</LIBRARY></DATA>";
  return text;
}

Request::Request(Method method, std::string_view function) {
  head_ = method == Method::Exec ? "<DATA><METHOD>EXEC</METHOD><FUNCTION>"
                                 : "<DATA><METHOD>SETTING</METHOD><FUNCTION>";
  head_ += function;
  head_ += "</FUNCTION><PARAMETERS>";
}

void Request::AddBytes(std::span<const uint8_t> bytes) {
  parameters_ += EncodeParameter(++count_, bytes);
}

void Request::AddBytes(const void* bytes, size_t size) {
  AddBytes(std::span<const uint8_t>(static_cast<const uint8_t*>(bytes), size));
}

void Request::AddString(std::string_view text) {
  std::string bytes(text);
  bytes.push_back('\0');
  bytes.push_back('\0');
  AddBytes(Bytes(bytes));
}

void Request::AddNumber(uint32_t number) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                            static_cast<uint8_t>(number >> 16),
                            static_cast<uint8_t>(number >> 24)};
  AddBytes(std::span<const uint8_t>(bytes, 4));
}

std::string Request::Text() const {
  std::string text = head_;
  text += parameters_;
  text += kParametersClose;
  text += kEnd;
  return text;
}

std::string EncodeParameterBytes(std::span<const uint8_t> bytes) {
  const std::string packed = lzw::Compress(bytes);
  std::string text((packed.size() + 2) / 3 * 4 + 1, '\0');
  const int length = Base64Encode(reinterpret_cast<const unsigned char*>(packed.data()),
                                  static_cast<int>(packed.size()), text.data(),
                                  static_cast<int>(text.size()));
  text.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return text;
}

std::string EncodeParameter(int number, std::span<const uint8_t> bytes) {
  const std::string n = std::to_string(number);
  std::string text = "<PARAMETER" + n + " SIZE=" + std::to_string(bytes.size()) + ">";
  text += EncodeParameterBytes(bytes);
  text += "</PARAMETER" + n + ">";
  return text;
}

std::optional<std::string> DecodeParameterBytes(std::string_view text, size_t size, size_t limit) {
  if (size > limit) return std::nullopt;
  // Compressed codes are 2 bytes each and each stands for at least one byte,
  // so a valid text is never longer than about 4 * 2 * size / 3.
  if (text.size() > (2 * size + 2) / 3 * 4 + 4) return std::nullopt;
  std::string terminated(text);
  std::vector<unsigned char> packed(text.size() / 4 * 3 + 3);
  const int packedLength =
      Base64Decode(terminated.c_str(), packed.data(), static_cast<int>(packed.size()));
  if (packedLength < 0) return std::nullopt;
  std::string raw;
  if (lzw::Decompress(std::span<const uint8_t>(packed.data(), static_cast<size_t>(packedLength)),
                      size, &raw) != lzw::DecodeStatus::Ok) {
    return std::nullopt;
  }
  if (raw.size() != size) return std::nullopt;
  return raw;
}

std::optional<RawParameter> FindParameter(std::string_view message, int number) {
  const std::string open = "<PARAMETER" + std::to_string(number);
  size_t start = 0;
  for (;;) {
    start = message.find(open, start);
    if (start == std::string_view::npos) return std::nullopt;
    const size_t after = start + open.size();
    if (after < message.size() && message[after] >= '0' && message[after] <= '9') {
      start = after;  // "<PARAMETER1" inside "<PARAMETER12": not this one
      continue;
    }
    break;
  }
  const size_t sizeAt = message.find("SIZE=", start);
  if (sizeAt == std::string_view::npos) return std::nullopt;
  const size_t close = message.find('>', sizeAt);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view digits = message.substr(sizeAt + 5, close - sizeAt - 5);
  RawParameter parameter;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(),
                                            parameter.size);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty()) {
    return std::nullopt;
  }
  const std::string closing = "</PARAMETER" + std::to_string(number) + ">";
  const size_t contentEnd = message.find(closing, close + 1);
  if (contentEnd == std::string_view::npos) return std::nullopt;
  parameter.text = message.substr(close + 1, contentEnd - close - 1);
  return parameter;
}

std::optional<std::string> ReadParameter(std::string_view message, int number, size_t limit) {
  const auto parameter = FindParameter(message, number);
  if (!parameter) return std::nullopt;
  return DecodeParameterBytes(parameter->text, parameter->size, limit);
}

std::optional<std::string_view> ElementText(std::string_view message, std::string_view tag) {
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on "<" + string.
  std::string open = "<";
  open.append(tag).append(">");
  std::string close = "</";
  close.append(tag).append(">");
  const size_t start = message.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t end = message.find(close, start + open.size());
  if (end == std::string_view::npos) return std::nullopt;
  return message.substr(start + open.size(), end - start - open.size());
}

std::string FailureReply(std::string_view reason) {
  std::string text = "<DATA><STATUS>FAILURE</STATUS><ERROR>";
  for (char c : reason) {
    text += (c == '<' || c == '>') ? '_' : c;  // keep the mark-up unambiguous
  }
  text += "</ERROR></DATA>";
  return text;
}

std::string SuccessReply(std::string_view encodedParameters) {
  if (encodedParameters.empty()) return std::string(kSuccess);
  std::string text = "<DATA><STATUS>SUCCESS</STATUS><PARAMETERS>";
  text += encodedParameters;
  text += "</PARAMETERS></DATA>";
  return text;
}

bool SendAll(int socket, std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = send(socket, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

}  // namespace qvaiso::wire
