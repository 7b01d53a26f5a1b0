#include "tools/qvservlet/form.h"

#include "platform/codepage/codepage.h"

namespace qv::servlet {
namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ReadUnit(std::string_view s, size_t pos, unsigned& unit) {
  if (pos + 6 > s.size() || s[pos] != '%' || (s[pos + 1] != 'u' && s[pos + 1] != 'U')) return false;
  unit = 0;
  for (size_t i = pos + 2; i < pos + 6; ++i) {
    int h = Hex(s[i]);
    if (h < 0) return false;
    unit = unit * 16 + static_cast<unsigned>(h);
  }
  return true;
}

}  // namespace

std::string DecodeFormValue(std::string_view value) {
  std::string out;
  std::string pending;  // bytes in the code page, not yet converted
  const auto flush = [&] {
    if (!pending.empty()) out += qv::codepage::ToUtf8(pending);
    pending.clear();
  };
  size_t pos = 0;
  while (pos < value.size()) {
    char c = value[pos];
    unsigned unit = 0;
    if (c == '+') {
      pending += ' ';
      ++pos;
    } else if (ReadUnit(value, pos, unit)) {
      flush();
      pos += 6;
      unsigned low = 0;
      if (unit >= 0xD800 && unit <= 0xDBFF && ReadUnit(value, pos, low) && low >= 0xDC00 &&
          low <= 0xDFFF) {
        qv::codepage::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        pos += 6;
      } else if (unit >= 0xD800 && unit <= 0xDFFF) {
        qv::codepage::AppendUtf8(out, 0xFFFD);
      } else {
        qv::codepage::AppendUtf8(out, unit);
      }
    } else if (c == '%' && pos + 2 < value.size() && Hex(value[pos + 1]) >= 0 &&
               Hex(value[pos + 2]) >= 0) {
      pending += static_cast<char>(Hex(value[pos + 1]) * 16 + Hex(value[pos + 2]));
      pos += 3;
    } else {
      pending += c;
      ++pos;
    }
  }
  flush();
  return out;
}

FormFields ParseForm(std::string_view body, char separator) {
  FormFields fields;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find(separator, start);
    if (end == body.npos) end = body.size();
    std::string_view piece = body.substr(start, end - start);
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      std::string_view name = piece.substr(0, eq);
      std::string_view value = eq == piece.npos ? std::string_view() : piece.substr(eq + 1);
      fields.emplace_back(DecodeFormValue(name), DecodeFormValue(value));
    }
    start = end + 1;
  }
  return fields;
}

std::string RawField(std::string_view body, std::string_view name) {
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == body.npos) end = body.size();
    std::string_view piece = body.substr(start, end - start);
    size_t eq = piece.find('=');
    if (piece.substr(0, eq) == name) {
      return eq == piece.npos ? std::string() : std::string(piece.substr(eq + 1));
    }
    start = end + 1;
  }
  return "";
}

std::string FieldValue(const FormFields& fields, std::string_view name) {
  for (const auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return "";
}

}  // namespace qv::servlet
