/* Exports of the crypto family of libqvaiso.so: pass-phrase string
 * encryption, Blowfish buffers and the keyed hex scrambler.
 *
 * Buffer rules (in addition to those of qvaiso_api.h):
 *  - EncryptString/DecryptString write at most 1024 bytes, terminator
 *    included, into `output`.
 *  - EncryptBuffer writes at most `capacity` bytes, terminator included;
 *    DecryptBuffer at most 64.
 *  - Blowfish_Encrypt/Blowfish_Decrypt allocate their output; the caller
 *    frees it with Blowfish_FreeOutput and nothing else. On failure *output
 *    is null and *outputLength 0.
 *  - Keys and data of the Blowfish functions are bytes with explicit lengths;
 *    every other text is NUL-terminated.
 *  - A null pointer where an address is required gives result 0.
 *
 * Every function may be called from any thread; none keeps state between
 * calls.
 */
#ifndef QVAISO_CRYPTO_H
#define QVAISO_CRYPTO_H

#include <stdint.h>

#include "library/qvaiso_api.h"

QVAISO_BEGIN_DECLS

/* Makes sure the key container "QV_Key" exists in the machine key store with
 * its signature and key-exchange key pairs. 1 when they exist or were
 * created; 0 after reporting the failure to the event log. */
QVAISO_EXPORT int32_t SetupCrypto(void);

/* RC4 under the key derived from `passPhrase`, as base64 text in `output`.
 * 1 success; 0 failure (empty or over-long plaintext, cipher failure; output
 * empty); 10 the key container cannot be opened: `output` holds the plain
 * base64 coding of `plainText`, nothing was encrypted. */
QVAISO_EXPORT int32_t EncryptString(const char* passPhrase, const char* plainText, char* output);

/* Reverses EncryptString. Whitespace in `cipherText` is ignored. 1 success;
 * 0 invalid base64 or cipher failure (output empty); 10 the key container
 * cannot be opened: `output` holds the base64 decoding of `cipherText` (empty
 * when it does not decode). A wrong pass phrase gives other bytes and 1. */
QVAISO_EXPORT int32_t DecryptString(const char* passPhrase, const char* cipherText, char* output);

/* Modes of the Blowfish functions; any other number works as ECB. */
#define QVAISO_BLOWFISH_ECB 0
#define QVAISO_BLOWFISH_CBC 1
#define QVAISO_BLOWFISH_CFB 2

/* Pads `data` (0x80, then zeros up to the next multiple of 8; always at least
 * one byte) and encrypts it with the zero IV. 1 and the new buffer of the
 * padded length, or 0. */
QVAISO_EXPORT int32_t Blowfish_Encrypt(const unsigned char* key, int32_t keyLength,
                                       const unsigned char* data, int32_t dataLength,
                                       unsigned char** output, int32_t* outputLength,
                                       int32_t mode);

/* Decrypts `dataLength` bytes (a positive multiple of 8) into a new buffer of
 * that size and strips the padding: *outputLength is the index of the last
 * non-zero byte (the marker), and a terminator replaces the marker. 1, or 0. */
QVAISO_EXPORT int32_t Blowfish_Decrypt(const unsigned char* key, int32_t keyLength,
                                       const unsigned char* data, int32_t dataLength,
                                       unsigned char** output, int32_t* outputLength,
                                       int32_t mode);

/* Frees a buffer returned by Blowfish_Encrypt or Blowfish_Decrypt; null is
 * ignored. */
QVAISO_EXPORT void Blowfish_FreeOutput(unsigned char* buffer);

/* Scrambles `plainText` (at most 129 bytes) under `keyText` into lowercase
 * hex: 2 + 2n digits, cut short so that digits and terminator fit `capacity`.
 * An empty key copies the text (0 and an empty output when it does not fit);
 * an empty text gives "". 1, or 0 for null pointers, a negative capacity and
 * over-long texts (output empty). With capacity 0 nothing is written. */
QVAISO_EXPORT int32_t EncryptBuffer(const char* keyText, const char* plainText, char* output,
                                    int32_t capacity);

/* Reverses EncryptBuffer into `output` (64 bytes). 1, or 0 with an empty
 * output for null pointers, texts over 129 characters, an odd number of
 * characters or an offset above 7f. An empty key copies the text when it
 * fits in 64 bytes. */
QVAISO_EXPORT int32_t DecryptBuffer(const char* keyText, const char* scrambledText, char* output);

QVAISO_END_DECLS

#endif
