// qvaiso_probe LIBRARY: binds the exports of a QVAISO library by name (dlopen
// and dlsym; LoadLibrary and GetProcAddress on Windows) and answers commands
// from standard input, one line each, so two builds of the library can be
// compared on the same inputs. Texts travel in hexadecimal.
//
//   encrypt PASS PLAIN          -> RESULT BASE64|-
//   decrypt PASS BASE64|-       -> RESULT PLAIN
//   blowfish-encrypt MODE KEY DATA -> RESULT OUTPUT
//   blowfish-decrypt MODE KEY DATA -> RESULT OUTPUT LENGTH
//   scramble KEY PLAIN          -> RESULT OUTPUT
//   unscramble KEY TEXT         -> RESULT PLAIN
//   table-write FILE NAME=VALUE[,NAME=VALUE...] [ROW...]  -> RESULT
//   table-read FILE NAME...     -> RESULT ROW... (each NAME=VALUE,... in hex)
//   registry-get HOST KEY NAME  -> RESULT VALUE (HKLM through the remote registry
//                                  exports; HOST "-" is this machine)
//   registry-set HOST KEY NAME VALUE -> RESULT
//   message DIR NUMBER TEXT     -> RESULT (a critical audit entry, which posts
//                                  a system message into DIR/Messages)
//
// Every argument other than MODE, NUMBER, FILE, DIR, HOST and KEY is hex; "-"
// is empty.
// Each answer is one line that starts with "=> ".
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "library/qvaiso.h"

namespace {

void* g_library = nullptr;

// The export's type comes from the header (decltype does not refer to it).
template <typename Pointer>
Pointer Bind(const char* name) {
  void* address = dlsym(g_library, name);
  if (address == nullptr) {
    std::fprintf(stderr, "qvaiso_probe: no export %s\n", name);
    std::exit(2);
  }
  return reinterpret_cast<Pointer>(address);
}
#define BIND(name) static const auto name##_ = Bind<decltype(&name)>(#name)

std::string FromHex(const std::string& hex) {
  if (hex == "-") return "";
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex.empty() ? "-" : hex;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

std::string Answer(const std::vector<std::string>& a) {
  const std::string& command = a[0];
  if (command == "encrypt" && a.size() == 3) {
    BIND(EncryptString);
    char output[1024];
    const int result = EncryptString_(FromHex(a[1]).c_str(), FromHex(a[2]).c_str(), output);
    return std::to_string(result) + " " + (output[0] ? output : "-");
  }
  if (command == "decrypt" && a.size() == 3) {
    BIND(DecryptString);
    char output[1024];
    const std::string cipher = a[2] == "-" ? "" : a[2];
    const int result = DecryptString_(FromHex(a[1]).c_str(), cipher.c_str(), output);
    return std::to_string(result) + " " + ToHex(output);
  }
  if ((command == "blowfish-encrypt" || command == "blowfish-decrypt") && a.size() == 4) {
    BIND(Blowfish_Encrypt);
    BIND(Blowfish_Decrypt);
    BIND(Blowfish_FreeOutput);
    const std::string key = FromHex(a[2]);
    const std::string data = FromHex(a[3]);
    unsigned char* output = nullptr;
    int32_t length = 0;
    const auto run = command == "blowfish-encrypt" ? Blowfish_Encrypt_ : Blowfish_Decrypt_;
    const int result = run(reinterpret_cast<const unsigned char*>(key.data()), static_cast<int32_t>(key.size()),
                           reinterpret_cast<const unsigned char*>(data.data()), static_cast<int32_t>(data.size()),
                           &output, &length, std::stoi(a[1]));
    std::string answer = std::to_string(result);
    if (result == 1 && output != nullptr) {
      // Decryption reports the plaintext's length; the buffer is the input's.
      const size_t size = command == "blowfish-encrypt" ? static_cast<size_t>(length) : data.size();
      answer += " " + ToHex(std::string(reinterpret_cast<char*>(output), size)) + " " + std::to_string(length);
    }
    Blowfish_FreeOutput_(output);
    return answer;
  }
  if (command == "scramble" && a.size() == 3) {
    BIND(EncryptBuffer);
    char output[1024];
    const int result = EncryptBuffer_(FromHex(a[1]).c_str(), FromHex(a[2]).c_str(), output, sizeof output);
    return std::to_string(result) + " " + ToHex(output);  // an empty key copies the text
  }
  if (command == "unscramble" && a.size() == 3) {
    BIND(DecryptBuffer);
    char output[64];
    const std::string text = a[2] == "-" ? "" : a[2];
    const int result = DecryptBuffer_(FromHex(a[1]).c_str(), text.c_str(), output);
    return std::to_string(result) + " " + ToHex(output);
  }
  if (command == "table-write" && a.size() >= 2) {
    BIND(ValueTable_OpenFile);
    BIND(ValueTable_AddRow);
    BIND(ValueTable_SetProperty);
    BIND(ValueTable_Save);
    BIND(ValueTable_Free);
    ValueTableHandle* table = nullptr;
    int result = ValueTable_OpenFile_(a[1].c_str(), &table);
    for (size_t row = 2; result == 1 && row < a.size(); ++row) {
      result = ValueTable_AddRow_(table);
      for (const std::string& pair : Split(a[row], ',')) {
        const auto equals = pair.find('=');
        if (result != 1 || equals == std::string::npos) break;
        result = ValueTable_SetProperty_(FromHex(pair.substr(0, equals)).c_str(),
                                         FromHex(pair.substr(equals + 1)).c_str(), 0, table);
      }
    }
    if (result == 1) result = ValueTable_Save_(table);
    ValueTable_Free_(table);
    return std::to_string(result);
  }
  if (command == "table-read" && a.size() >= 2) {
    BIND(ValueTable_OpenFile);
    BIND(ValueTable_FindFirstRow);
    BIND(ValueTable_FindNextRow);
    BIND(ValueTable_GetProperty);
    BIND(ValueTable_FreeProperty);
    BIND(ValueTable_Free);
    ValueTableHandle* table = nullptr;
    const int result = ValueTable_OpenFile_(a[1].c_str(), &table);
    std::string answer = std::to_string(result);
    for (int more = result == 1 ? ValueTable_FindFirstRow_(table) : 0; more; more = ValueTable_FindNextRow_(table)) {
      std::string row;
      for (size_t i = 2; i < a.size(); ++i) {
        char* text = nullptr;
        int length = 0;
        const std::string name = FromHex(a[i]);
        if (ValueTable_GetProperty_(name.c_str(), &text, &length, 0, table) == 1) {
          row += (row.empty() ? "" : ",") + ToHex(name) + "=" + ToHex(std::string(text, static_cast<size_t>(length)));
          ValueTable_FreeProperty_(&text);
        }
      }
      answer += " " + (row.empty() ? std::string("-") : row);
    }
    ValueTable_Free_(table);
    return answer;
  }
  if (command == "registry-get" && a.size() == 4) {
    BIND(GetRemoteRegistryString);
    char output[4096];
    const int result = GetRemoteRegistryString_(a[1] == "-" ? "" : a[1].c_str(), a[2].c_str(),
                                                FromHex(a[3]).c_str(), output);
    return std::to_string(result) + " " + ToHex(output);
  }
  if (command == "registry-set" && a.size() == 5) {
    BIND(SetRemoteRegistryString);
    const int result = SetRemoteRegistryString_(a[1] == "-" ? "" : a[1].c_str(), a[2].c_str(),
                                                FromHex(a[3]).c_str(), FromHex(a[4]).c_str());
    return std::to_string(result);
  }
  if (command == "message" && a.size() == 4) {
    BIND(SetRemoteRegistryString);
    BIND(SetRemoteRegistryWord);
    BIND(AddAuditEntry);
    const uint32_t one = 1;
    const uint32_t critical = 10;
    int result = SetRemoteRegistryString_("", "SOFTWARE\\Quorvia\\Quorvia", "Configuration Directory", a[1].c_str());
    result &= SetRemoteRegistryWord_("", "SOFTWARE\\Quorvia\\Quorvia", "System Messages Enabled", &one);
    result &= SetRemoteRegistryWord_("", "SOFTWARE\\Quorvia\\Quorvia\\Auditing", "Status", &one);
    result &= SetRemoteRegistryWord_("", "SOFTWARE\\Quorvia\\Quorvia\\Auditing", "Level", &critical);
    if (result == 1) result = AddAuditEntry_(std::stoi(a[2]), "", "", FromHex(a[3]).c_str(), 10, 0);
    return std::to_string(result);
  }
  return "? unknown command";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qvaiso_probe LIBRARY < commands\n");
    return 2;
  }
  g_library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (g_library == nullptr) {
    std::fprintf(stderr, "qvaiso_probe: cannot load %s\n", argv[1]);
    return 2;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> arguments = Split(line, ' ');
    // The library prints lines of its own (value tables, service control):
    // answers are told apart by their mark.
    const std::string answer = arguments.empty() ? "? empty" : Answer(arguments);
    std::cout << "=> " << answer << std::endl;
  }
  return 0;
}
