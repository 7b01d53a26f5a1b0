#include "tools/qvadmind/request.h"

#include <charconv>

#include "library/remote/wire.h"

namespace qvadmind {
namespace {

// Reads "<tag>text</tag>" at the front of `rest` and advances past it.
bool TakeElement(std::string_view* rest, std::string_view tag, std::string* text) {
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on "<" + string.
  std::string open = "<";
  open.append(tag).append(">");
  std::string close = "</";
  close.append(tag).append(">");
  if (rest->substr(0, open.size()) != open) return false;
  const size_t end = rest->find(close, open.size());
  if (end == std::string_view::npos) return false;
  const std::string_view inner = rest->substr(open.size(), end - open.size());
  if (inner.find('<') != std::string_view::npos) return false;  // no nested mark-up
  *text = std::string(inner);
  rest->remove_prefix(end + close.size());
  return true;
}

bool TakeLiteral(std::string_view* rest, std::string_view literal) {
  if (rest->substr(0, literal.size()) != literal) return false;
  rest->remove_prefix(literal.size());
  return true;
}

bool TakeNumber(std::string_view* rest, size_t* number) {
  const char* begin = rest->data();
  const char* end = begin + rest->size();
  const auto [stop, error] = std::from_chars(begin, end, *number);
  if (error != std::errc() || stop == begin || stop - begin > 9) return false;
  rest->remove_prefix(static_cast<size_t>(stop - begin));
  return true;
}

// "<PARAMETERS>(<PARAMETERn SIZE=m>text</PARAMETERn>)*</PARAMETERS>", numbered
// 1, 2, ... in order.
bool TakeParameters(std::string_view* rest, Request* request, std::string* reason) {
  if (!TakeLiteral(rest, "<PARAMETERS>")) {
    *reason = "missing PARAMETERS";
    return false;
  }
  for (int expected = 1;; ++expected) {
    if (TakeLiteral(rest, "</PARAMETERS>")) return true;
    if (expected > kMaxParameters) {
      *reason = "too many parameters";
      return false;
    }
    size_t number = 0;
    size_t size = 0;
    if (!TakeLiteral(rest, "<PARAMETER") || !TakeNumber(rest, &number) ||
        number != static_cast<size_t>(expected) || !TakeLiteral(rest, " SIZE=") ||
        !TakeNumber(rest, &size) || !TakeLiteral(rest, ">")) {
      *reason = "malformed parameter";
      return false;
    }
    if (size > kMaxParameterBytes) {
      *reason = "parameter too large";
      return false;
    }
    const std::string close = "</PARAMETER" + std::to_string(number) + ">";
    const size_t end = rest->find(close);
    if (end == std::string_view::npos) {
      *reason = "unterminated parameter";
      return false;
    }
    auto decoded = qvaiso::wire::DecodeParameterBytes(rest->substr(0, end), size,
                                                      kMaxParameterBytes);
    if (!decoded) {
      *reason = "parameter does not decode to its size";
      return false;
    }
    request->parameters[expected] = std::move(*decoded);
    rest->remove_prefix(end + close.size());
  }
}

}  // namespace

size_t CompleteRequestLength(std::string_view buffer) {
  const size_t end = buffer.find(qvaiso::wire::kEnd);
  return end == std::string_view::npos ? 0 : end + qvaiso::wire::kEnd.size();
}

bool ParseRequest(std::string_view text, Request* request, std::string* reason) {
  *request = Request();
  if (text.size() > kMaxRequestBytes) {
    *reason = "request too large";
    return false;
  }
  std::string_view rest = text;
  std::string method;
  if (!TakeLiteral(&rest, "<DATA>") || !TakeElement(&rest, "METHOD", &method)) {
    *reason = "malformed request";
    return false;
  }
  bool ok = false;
  if (method == "PING" || method == "QUIT") {
    request->method = method == "PING" ? Method::Ping : Method::Quit;
    ok = true;
  } else if (method == "AUTH") {
    std::string realm, library;
    request->method = Method::Auth;
    ok = TakeElement(&rest, "PROTOCOL", &request->protocol) &&
         TakeElement(&rest, "CREDENTIALS", &request->credentials) &&
         TakeElement(&rest, "REALM", &realm) && TakeElement(&rest, "Library", &library);
  } else if (method == "LOAD") {
    request->method = Method::Load;
    ok = TakeElement(&rest, "LIBRARY", &request->library);
  } else if (method == "EXEC" || method == "SETTING") {
    request->method = method == "EXEC" ? Method::Exec : Method::Setting;
    if (!TakeElement(&rest, "FUNCTION", &request->function)) {
      *reason = "malformed FUNCTION";
      return false;
    }
    if (!TakeParameters(&rest, request, reason)) return false;
    ok = true;
  } else {
    *reason = "unknown method";
    return false;
  }
  if (!ok || !TakeLiteral(&rest, "</DATA>") || !rest.empty()) {
    *reason = "malformed request";
    return false;
  }
  return true;
}

}  // namespace qvadmind
