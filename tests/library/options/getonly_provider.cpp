// A configuration provider for tests that exports nothing but "GetOption".
// Its value is "getonly:<key>/<name>" (2000 "L"s for the name "long"), its
// result 7; each call appends a line to the file named by QV_GETONLY_LOG.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" __attribute__((visibility("default"))) int GetOption(int scope, const char* key,
                                                                const char* name, char* value) {
  if (const char* log = std::getenv("QV_GETONLY_LOG")) {
    if (FILE* file = std::fopen(log, "a")) {
      std::fprintf(file, "GetOption %d %s %s\n", scope, key, name);
      std::fclose(file);
    }
  }
  const std::string text =
      std::strcmp(name, "long") == 0 ? std::string(2000, 'L') : "getonly:" + std::string(key) + "/" + name;
  std::memcpy(value, text.c_str(), text.size() + 1);
  return 7;
}
