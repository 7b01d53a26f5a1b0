#include "library/remote/lzw.h"

#include <array>
#include <cstring>
#include <vector>

namespace qvaiso::lzw {
namespace {

// The compressor's dictionary: entry strings are only ever "an existing entry
// followed by one byte", so an entry is found by (prefix code, byte). Entries
// of up to 62 bytes are unique (one is added only when the lookup missed), and
// the table keeps the first code stored under a key, which is the lowest one,
// so the result is the same as a scan for the lowest equal entry.
//
// Open addressing over a power-of-two table about four times the number of
// entries; a slot holds key + 1 (0 marks a free slot) and the code.
class PhraseTable {
 public:
  PhraseTable() { keys_.fill(0); }

  // The code stored for (prefix, byte), or -1.
  int Find(uint16_t prefix, uint8_t byte) const {
    const uint32_t key = Key(prefix, byte);
    for (uint32_t slot = Hash(key);; slot = (slot + 1) & kMask) {
      if (keys_[slot] == 0) return -1;
      if (keys_[slot] == key) return codes_[slot];
    }
  }

  // Stores the code unless the key is present already (the lower code stays).
  void Insert(uint16_t prefix, uint8_t byte, uint16_t code) {
    const uint32_t key = Key(prefix, byte);
    for (uint32_t slot = Hash(key);; slot = (slot + 1) & kMask) {
      if (keys_[slot] == key) return;
      if (keys_[slot] == 0) {
        keys_[slot] = key;
        codes_[slot] = code;
        return;
      }
    }
  }

 private:
  static constexpr uint32_t kSlots = 4096;
  static constexpr uint32_t kMask = kSlots - 1;
  static uint32_t Key(uint16_t prefix, uint8_t byte) {
    return ((static_cast<uint32_t>(prefix) << 8) | byte) + 1;
  }
  static uint32_t Hash(uint32_t key) { return (key * 2654435761u) >> 20 & kMask; }

  std::array<uint32_t, kSlots> keys_;
  std::array<uint16_t, kSlots> codes_;
};

void PutCode(std::string* out, uint16_t code) {
  out->push_back(static_cast<char>(code & 0xFF));
  out->push_back(static_cast<char>(code >> 8));
}

}  // namespace

std::string Compress(std::span<const uint8_t> input) {
  std::string out;
  if (input.empty()) return out;
  out.reserve(input.size());
  PhraseTable table;
  size_t entries = 256;
  uint16_t phrase = input[0];  // the code of the current phrase
  size_t phraseLength = 1;
  for (size_t i = 1; i < input.size(); ++i) {
    const uint8_t c = input[i];
    if (phraseLength < kMaxEntryLength - 1) {
      const int extended = table.Find(phrase, c);
      if (extended >= 0) {
        phrase = static_cast<uint16_t>(extended);
        ++phraseLength;
        continue;
      }
    }
    PutCode(&out, phrase);
    if (entries < kMaxEntries) {
      // A 63-byte entry (phrase of 62 bytes) can never extend a phrase, but it
      // still takes its code, as on the other side.
      table.Insert(phrase, c, static_cast<uint16_t>(entries));
      ++entries;
    }
    phrase = c;
    phraseLength = 1;
  }
  PutCode(&out, phrase);
  return out;
}

DecodeStatus Decompress(std::span<const uint8_t> codes, size_t limit, std::string* output) {
  output->clear();
  if (codes.empty()) return DecodeStatus::Ok;
  if (codes.size() % 2 != 0) return DecodeStatus::Malformed;

  // Every entry is kept whole: 1023 x 64 bytes is small and copying is fast.
  struct Entry {
    uint8_t length;
    uint8_t bytes[kMaxEntryLength];
  };
  std::vector<Entry> dictionary(kMaxEntries);
  for (size_t i = 0; i < 256; ++i) {
    dictionary[i].length = 1;
    dictionary[i].bytes[0] = static_cast<uint8_t>(i);
  }
  size_t entries = 256;

  auto codeAt = [&](size_t index) {
    return static_cast<size_t>(codes[2 * index]) | static_cast<size_t>(codes[2 * index + 1]) << 8;
  };
  auto emit = [&](const Entry& entry) {
    if (output->size() + entry.length > limit) return false;
    output->append(reinterpret_cast<const char*>(entry.bytes), entry.length);
    return true;
  };

  size_t previous = codeAt(0);
  if (previous >= 256) return DecodeStatus::Malformed;
  if (!emit(dictionary[previous])) return DecodeStatus::TooLong;

  const size_t count = codes.size() / 2;
  for (size_t i = 1; i < count; ++i) {
    const size_t code = codeAt(i);
    const Entry& before = dictionary[previous];
    if (code < entries) {
      if (entries < kMaxEntries) {
        if (before.length + 1u > kMaxEntryLength) return DecodeStatus::Malformed;
        Entry& added = dictionary[entries++];
        std::memcpy(added.bytes, before.bytes, before.length);
        added.bytes[before.length] = dictionary[code].bytes[0];
        added.length = static_cast<uint8_t>(before.length + 1);
      }
      if (!emit(dictionary[code])) return DecodeStatus::TooLong;
    } else if (code == entries && entries < kMaxEntries) {
      // The code being defined by this very step: previous + its first byte.
      if (before.length + 1u > kMaxEntryLength) return DecodeStatus::Malformed;
      Entry& added = dictionary[entries++];
      std::memcpy(added.bytes, before.bytes, before.length);
      added.bytes[before.length] = before.bytes[0];
      added.length = static_cast<uint8_t>(before.length + 1);
      if (!emit(added)) return DecodeStatus::TooLong;
    } else {
      return DecodeStatus::Malformed;
    }
    previous = code;
  }
  return DecodeStatus::Ok;
}

}  // namespace qvaiso::lzw
