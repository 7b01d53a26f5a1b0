// qvaiso_binder: binds every export of qvaiso.dll by name with GetProcAddress,
// as a Visual Basic Declare does, and calls a few through the bound addresses
// with the library's own declarations (stdcall on 32-bit Windows). Exits 0
// when every name binds and the calls give the documented results.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "library/qvaiso.h"

namespace {

HMODULE g_library = nullptr;
int g_failures = 0;

template <typename Pointer>
Pointer Bind(const char* name) {
  auto address = reinterpret_cast<Pointer>(reinterpret_cast<void*>(GetProcAddress(g_library, name)));
  if (address == nullptr) {
    std::printf("missing export %s\n", name);
    ++g_failures;
  }
  return address;
}
#define BIND(name) [[maybe_unused]] const auto name##_ = Bind<decltype(&name)>(#name)

void Expect(bool condition, const char* what) {
  if (!condition) {
    std::printf("failed: %s\n", what);
    ++g_failures;
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_library = LoadLibraryA(argc > 1 ? argv[1] : "qvaiso.dll");
  if (g_library == nullptr) {
    std::printf("cannot load qvaiso.dll (%lu)\n", GetLastError());
    return 2;
  }
  BIND(AbuseRegister_AddEntry);
  BIND(AbuseRegister_FindEntryByIPAddress);
  BIND(AbuseRegister_RemoveEntry);
  BIND(AbuseRegister_PurgeEntries);
  BIND(ValidIPv6Address);
  BIND(AddAuditEntry);
  BIND(SetupCrypto);
  BIND(EncryptString);
  BIND(DecryptString);
  BIND(Blowfish_Encrypt);
  BIND(Blowfish_Decrypt);
  BIND(Blowfish_FreeOutput);
  BIND(EncryptBuffer);
  BIND(DecryptBuffer);
  BIND(SelectProvider);
  BIND(GetOption);
  BIND(GetOption_Ex);
  BIND(SetOption);
  BIND(GetSystemOption);
  BIND(SetSystemOption);
  BIND(SetLoggingFunction);
  BIND(CreateSystemFolder);
  BIND(SetCurrentHost);
  BIND(GetRemoteRegistryString);
  BIND(SetRemoteRegistryString);
  BIND(GetRemoteRegistryWord);
  BIND(SetRemoteRegistryWord);
  BIND(QVServiceStart);
  BIND(QVServiceStop);
  BIND(QVServiceGetStatus);
  BIND(QVServiceFindFirst);
  BIND(QVServiceFindNext);
  BIND(ValueTable_OpenFile);
  BIND(ValueTable_OpenBuffer);
  BIND(ValueTable_FindFirstRow);
  BIND(ValueTable_FindNextRow);
  BIND(ValueTable_SetRowByPropValue);
  BIND(ValueTable_GetProperty);
  BIND(ValueTable_FreeProperty);
  BIND(ValueTable_SetProperty);
  BIND(ValueTable_AddRow);
  BIND(ValueTable_DeleteRow);
  BIND(ValueTable_Save);
  BIND(ValueTable_Close);
  BIND(ValueTable_Free);
  BIND(ValueTable_DeleteFile);
  if (g_failures != 0) return 1;

  // A few calls through the bound addresses: a wrong calling convention
  // would unbalance the stack or scramble the arguments.
  Expect(ValidIPv6Address_("2001:db8::1", 0, 0) == 1, "ValidIPv6Address accepts 2001:db8::1");
  Expect(ValidIPv6Address_("2001:db8::g", 0, 0) == 0, "ValidIPv6Address refuses 2001:db8::g");
  char scrambled[64];
  char plain[64];
  Expect(EncryptBuffer_("key", "binder", scrambled, sizeof scrambled) == 1, "EncryptBuffer");
  Expect(DecryptBuffer_("key", scrambled, plain) == 1 && std::strcmp(plain, "binder") == 0,
         "DecryptBuffer restores the text");
  unsigned char* sealed = nullptr;
  int32_t sealedLength = 0;
  const unsigned char key[] = "binder key";
  Expect(Blowfish_Encrypt_(key, 10, reinterpret_cast<const unsigned char*>("abc"), 3, &sealed, &sealedLength,
                           QVAISO_BLOWFISH_CBC) == 1 &&
             sealedLength == 8,
         "Blowfish_Encrypt pads three bytes to one block");
  Blowfish_FreeOutput_(sealed);
  ValueTableHandle* table = nullptr;
  Expect(ValueTable_OpenFile_("binder-missing.xml", &table) == 1 && ValueTable_FindFirstRow_(table) == 0,
         "a missing value table opens empty");
  ValueTable_Free_(table);
  std::printf("%s: %d failures\n", argc > 1 ? argv[1] : "qvaiso.dll", g_failures);
  return g_failures == 0 ? 0 : 1;
}
