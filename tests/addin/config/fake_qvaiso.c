/* A stand-in for QVAISO's string encryption: "enc:", the pass phrase, ":" and
 * the text reversed; decryption refuses another pass phrase. */
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT int EncryptString(const char* passPhrase, const char* plainText, char* output) {
  size_t p = strlen(passPhrase), n = strlen(plainText);
  if (p + n + 6 > 1024) return 0;
  memcpy(output, "enc:", 4);
  memcpy(output + 4, passPhrase, p);
  output[4 + p] = ':';
  for (size_t i = 0; i < n; ++i) output[5 + p + i] = plainText[n - 1 - i];
  output[5 + p + n] = '\0';
  return 1;
}

#ifndef WITHOUT_DECRYPT
EXPORT int DecryptString(const char* passPhrase, const char* cipherText, char* output) {
  size_t p = strlen(passPhrase), n = strlen(cipherText);
  output[0] = '\0';
  if (n < 5 + p || strncmp(cipherText, "enc:", 4) != 0 || strncmp(cipherText + 4, passPhrase, p) != 0 ||
      cipherText[4 + p] != ':') {
    return 0;
  }
  size_t length = n - 5 - p;
  for (size_t i = 0; i < length; ++i) output[i] = cipherText[n - 1 - i];
  output[length] = '\0';
  return 1;
}
#endif
