// The add-in's binding to the QVAISO library: EncryptString and DecryptString,
// looked up by name at first use, as the add-in does on Windows.
//
// The library is found as $QUORVIA_QVAISO when set, else beside the add-in
// library ("libqvaiso.so", "qvaiso.dll"); on Linux, when it is not there,
// through the add-in library's run path (the build tree's library folder). When the library or one of the two
// functions cannot be found, both calls return 0 and the activity log says why,
// once per process, at the first call made while troubleshooting mode is on.
//
// Called on the host's user-interface thread.
#ifndef QVSYNC_CONFIG_QVAISO_BINDING_H
#define QVSYNC_CONFIG_QVAISO_BINDING_H

#include <string>

namespace qvsync {

// EncryptString(passPhrase, plainText, output): 1 and `*output` on success; any
// other result (0, 10 for the base64-only fallback) as QVAISO returned it.
int CallEncryptString(const std::string& passPhrase, const std::string& plainText, std::string* output);
int CallDecryptString(const std::string& passPhrase, const std::string& cipherText, std::string* output);

// True when QVAISO or one of its two functions cannot be found (the password
// is then stored in clear); `why` (may be null) gets the reason.
bool QvaisoUnavailable(std::string* why);

// Forgets the binding so the next call looks the library up again (tests).
void ResetQvaisoBindingForTesting();

}  // namespace qvsync

#endif
