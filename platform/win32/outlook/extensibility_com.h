// The interface by which Office hosts drive a COM add-in: IDTExtensibility2,
// a dual interface (its members are reached through the vtable and through
// IDispatch::Invoke with the DISPIDs below), declared here from its public
// documentation. Every method returns an HRESULT and is stdcall.
#ifndef QV_WIN32_OUTLOOK_EXTENSIBILITY_COM_H
#define QV_WIN32_OUTLOOK_EXTENSIBILITY_COM_H

#include <objbase.h>
#include <oaidl.h>

namespace qv::outlook::com {

inline constexpr GUID kIidExtensibility2 = {
    0xB65AD801, 0xABAF, 0x11D0, {0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27, 0x44}};

// DISPIDs of the members, in vtable order.
inline constexpr DISPID kDispidOnConnection = 1;
inline constexpr DISPID kDispidOnDisconnection = 2;
inline constexpr DISPID kDispidOnAddInsUpdate = 3;
inline constexpr DISPID kDispidOnStartupComplete = 4;
inline constexpr DISPID kDispidOnBeginShutdown = 5;

// ConnectMode is ext_ConnectMode, RemoveMode ext_DisconnectMode (32-bit
// enumerations); `custom` is a SAFEARRAY of VARIANTs passed by reference.
struct IDTExtensibility2 : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* Application, int ConnectMode, IDispatch* AddInInst,
                                                 SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDisconnection(int RemoveMode, SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY** custom) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY** custom) = 0;
};

}  // namespace qv::outlook::com

#endif
