// Code page conversion on iconv. One converter pair is cached per thread and per
// code page name, because iconv descriptors must not be shared between threads.
#include "platform/codepage/codepage.h"
#include "platform/codepage/utf8.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

namespace qv::codepage {
namespace {

using detail::IsAscii;
using detail::Utf8SequenceLength;

// Appends `bytes` decoded by `to_utf8` (a descriptor to UTF-8). A byte that
// starts no character of the set (or a sequence cut short) becomes U+FFFD,
// or, with `keepStrayByte`, the character of the same number (the Latin-1
// reading a single-byte code page falls back to).
void AppendDecoded(iconv_t to_utf8, std::string_view bytes, bool keepStrayByte, std::string& out) {
  iconv(to_utf8, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(bytes.data());
  size_t inleft = bytes.size();
  char buf[1024];
  while (inleft > 0) {
    char* outp = buf;
    size_t outleft = sizeof buf;
    const size_t r = iconv(to_utf8, &in, &inleft, &outp, &outleft);
    out.append(buf, static_cast<size_t>(outp - buf));
    if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ or EINVAL (truncated sequence): replace one byte and go on.
    const unsigned char c = static_cast<unsigned char>(*in);
    AppendUtf8(out, keepStrayByte && c >= 0x80 ? c : 0xFFFD);
    ++in;
    --inleft;
    iconv(to_utf8, nullptr, nullptr, nullptr, nullptr);
  }
}

// A converter between UTF-8 and one code page, owned by one thread.
class Converter {
 public:
  explicit Converter(const std::string& name) : name_(name) {
    to_utf8_ = iconv_open("UTF-8", name.c_str());
    from_utf8_ = iconv_open(name.c_str(), "UTF-8");
    if (to_utf8_ == kInvalid || from_utf8_ == kInvalid) {
      Close();
      name_ = kDefaultCodePage;
      to_utf8_ = iconv_open("UTF-8", kDefaultCodePage);
      from_utf8_ = iconv_open(kDefaultCodePage, "UTF-8");
    }
    // A code page is single-byte when every byte converts on its own or fails.
    single_byte_ = true;
    if (to_utf8_ != kInvalid) {
      for (int c = 0x80; c < 0x100 && single_byte_; ++c) {
        char in = static_cast<char>(c);
        char buf[8];
        char* inp = &in;
        size_t inleft = 1;
        char* outp = buf;
        size_t outleft = sizeof buf;
        iconv(to_utf8_, nullptr, nullptr, nullptr, nullptr);
        size_t r = iconv(to_utf8_, &inp, &inleft, &outp, &outleft);
        if (r == static_cast<size_t>(-1) && errno == EINVAL) single_byte_ = false;
        if (r == static_cast<size_t>(-1) && errno == EILSEQ) undefined_[c] = true;
      }
    }
  }
  ~Converter() { Close(); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  const std::string& requested() const { return requested_; }
  void set_requested(std::string r) { requested_ = std::move(r); }

  std::string ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    if (to_utf8_ == kInvalid) {  // no iconv at all: Latin-1
      for (unsigned char c : bytes) AppendUtf8(out, c);
      return out;
    }
    AppendDecoded(to_utf8_, bytes, single_byte_, out);
    return out;
  }

  std::string FromUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    char buf[1024];
    if (from_utf8_ != kInvalid) iconv(from_utf8_, nullptr, nullptr, nullptr, nullptr);
    while (pos < text.size()) {
      // Convert the longest run of well-formed UTF-8 in one call.
      size_t end = pos;
      while (end < text.size()) {
        size_t len = Utf8SequenceLength(text.substr(end));
        if (len == 0) break;
        end += len;
      }
      char* in = const_cast<char*>(text.data() + pos);
      size_t inleft = end - pos;
      while (inleft > 0) {
        if (from_utf8_ == kInvalid) {
          out += '?';
          size_t len = Utf8SequenceLength(std::string_view(in, inleft));
          in += len;
          inleft -= len;
          continue;
        }
        char* outp = buf;
        size_t outleft = sizeof buf;
        size_t r = iconv(from_utf8_, &in, &inleft, &outp, &outleft);
        out.append(buf, static_cast<size_t>(outp - buf));
        if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // A character the code page lacks; U+0080-U+00FF stand for the bytes
        // that have no character of their own (see ToUtf8).
        size_t len = Utf8SequenceLength(std::string_view(in, inleft));
        if (len == 0) len = 1;
        unsigned cp = len == 2 ? ((static_cast<unsigned char>(in[0]) & 0x1F) << 6) |
                                     (static_cast<unsigned char>(in[1]) & 0x3F)
                               : 0;
        if (single_byte_ && cp >= 0x80 && cp <= 0xFF && undefined_[cp]) {
          out += static_cast<char>(cp);
        } else {
          out += '?';
        }
        in += len;
        inleft -= len;
        iconv(from_utf8_, nullptr, nullptr, nullptr, nullptr);
      }
      pos = end;
      if (pos < text.size()) {  // an invalid UTF-8 byte
        out += '?';
        ++pos;
      }
    }
    return out;
  }

 private:
  static inline const iconv_t kInvalid = reinterpret_cast<iconv_t>(-1);

  void Close() {
    if (to_utf8_ != kInvalid) iconv_close(to_utf8_);
    if (from_utf8_ != kInvalid) iconv_close(from_utf8_);
    to_utf8_ = from_utf8_ = kInvalid;
  }

  std::string name_;
  std::string requested_;
  iconv_t to_utf8_ = kInvalid;
  iconv_t from_utf8_ = kInvalid;
  bool single_byte_ = true;
  bool undefined_[256] = {};  // bytes without a character in the code page
};

std::string RequestedName() {
  const char* env = std::getenv("QUORVIA_CODEPAGE");
  return env && *env ? env : kDefaultCodePage;
}

// The calling thread's converter for the code page in force.
Converter& ThreadConverter() {
  thread_local std::unique_ptr<Converter> converter;
  std::string name = RequestedName();
  if (!converter || converter->requested() != name) {
    converter = std::make_unique<Converter>(name);
    converter->set_requested(name);
  }
  return *converter;
}

}  // namespace

std::string SystemCodePageName() {
  std::string name = RequestedName();
  iconv_t probe = iconv_open("UTF-8", name.c_str());
  if (probe == reinterpret_cast<iconv_t>(-1)) return kDefaultCodePage;
  iconv_close(probe);
  return name;
}

std::string FromUtf8(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  return ThreadConverter().FromUtf8(utf8);
}

std::string ToUtf8(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  return ThreadConverter().ToUtf8(bytes);
}

namespace detail {

std::optional<std::string> SingleByteSetToUtf8(unsigned page, std::string_view bytes) {
  const std::string name = page == 20127   ? "US-ASCII"
                           : page == 20866 ? "KOI8-R"
                           : page == 21866 ? "KOI8-U"
                           : page > 28590  ? "ISO-8859-" + std::to_string(page - 28590)
                                           : "WINDOWS-" + std::to_string(page);
  iconv_t cd = iconv_open("UTF-8", name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  AppendDecoded(cd, bytes, /*keepStrayByte=*/false, out);
  iconv_close(cd);
  return out;
}

}  // namespace detail

}  // namespace qv::codepage
