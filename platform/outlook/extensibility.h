// How Outlook loads an add-in: the add-in library is an in-process COM server
// registered under a ProgID, and Outlook's per-user add-in list names that
// ProgID with a load behaviour. Outlook loads the library, asks it for the class
// factory of the registered class, creates the add-in object and raises the
// extensibility events on it.
//
// The contract between the host and an add-in library, as C++ interfaces that
// cross the library boundary like COM vtables: the add-in allocates its objects
// and releases them itself (Release), and no exception leaves an event.
//
// Registry layout (HKEY_CURRENT_USER, per-user COM registration):
//   Software\Classes\<ProgID>\CLSID                   (default) = "{clsid}"
//   Software\Classes\CLSID\{clsid}\InprocServer32     (default) = library path
//   Software\Classes\CLSID\{clsid}\ProgID             (default) = ProgID
//   Software\Classes\CLSID\{clsid}\TypeLib            (default) = "{libid}"
//   Software\Classes\TypeLib\{libid}\1.0              (default) = the library's description
//   Software\Microsoft\Office\Outlook\Addins\<ProgID> FriendlyName, Description, LoadBehavior
//
// Exports of an add-in library (C linkage; results are HRESULTs):
//   int DllRegisterServer(void);
//   int DllUnregisterServer(void);
//   int DllGetClassObject(const char* clsid, const char* iid, void** object);
//       iid kIidClassFactory; *object receives a ClassFactory*.
//   int DllCanUnloadNow(void);   // 0 when no object of the library is alive
#ifndef QV_PLATFORM_OUTLOOK_EXTENSIBILITY_H
#define QV_PLATFORM_OUTLOOK_EXTENSIBILITY_H

#include "platform/outlook/outlook.h"

namespace qv::outlook {

// How the add-in is being connected (ext_ConnectMode).
enum ConnectMode {
  ext_cm_AfterStartup = 0,
  ext_cm_Startup = 1,
  ext_cm_External = 2,
  ext_cm_CommandLine = 3,
};

// Why it is being disconnected (ext_DisconnectMode).
enum DisconnectMode {
  ext_dm_HostShutdown = 0,
  ext_dm_UserClosed = 1,
};

// HRESULTs of the registration exports.
inline constexpr int kS_OK = 0;
inline constexpr int kS_FALSE = 1;
inline constexpr int kE_FAIL = static_cast<int>(0x80004005u);
inline constexpr int kE_POINTER = static_cast<int>(0x80004003u);
inline constexpr int kE_NOINTERFACE = static_cast<int>(0x80004002u);
inline constexpr int kCLASS_E_CLASSNOTAVAILABLE = static_cast<int>(0x80040111u);
inline constexpr int kSELFREG_E_CLASS = static_cast<int>(0x80040201u);

inline constexpr const char* kIidClassFactory = "{00000001-0000-0000-C000-000000000046}";

// The add-in object's events (IDTExtensibility2). Failures that the add-in
// lets escape an event reach the host as Error.
class AddIn {
 public:
  virtual void OnConnection(const Variant& application, int connectMode, const Variant& addInInst,
                            const Variant& custom) = 0;
  virtual void OnDisconnection(int removeMode, const Variant& custom) = 0;
  virtual void OnAddInsUpdate(const Variant& custom) = 0;
  virtual void OnStartupComplete(const Variant& custom) = 0;
  virtual void OnBeginShutdown(const Variant& custom) = 0;
  // Ends the host's use of the object; the add-in frees it.
  virtual void Release() = 0;

 protected:
  ~AddIn() = default;
};

class ClassFactory {
 public:
  // A new add-in object, or nullptr when it cannot be created.
  virtual AddIn* CreateInstance() = 0;

 protected:
  ~ClassFactory() = default;
};

}  // namespace qv::outlook

#endif
