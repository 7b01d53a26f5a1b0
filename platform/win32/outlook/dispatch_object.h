// The two adapters of the COM bridge (private to platform/win32/outlook).
#ifndef QV_WIN32_OUTLOOK_DISPATCH_OBJECT_H
#define QV_WIN32_OUTLOOK_DISPATCH_OBJECT_H

#include <map>
#include <string>

#include "platform/win32/outlook/com_bridge.h"

namespace qv::outlook::com {

// An Object over an IDispatch (see WrapDispatch). Owns one reference to the
// IDispatch and to the connection point of each Click connection it made.
class DispatchObject final : public Object {
 public:
  explicit DispatchObject(IDispatch* dispatch);
  ~DispatchObject() override;
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  Variant Get(std::string_view name, Args args) override;
  void Put(std::string_view name, Args args, const Variant& value) override;
  std::string_view TypeName() const override;
  uint64_t Advise(std::string_view event, ClickHandler handler) override;
  void Unadvise(uint64_t cookie) override;

  IDispatch* dispatch() const { return dispatch_; }

 private:
  DISPID IdOf(std::string_view name);

  struct Connection {
    IConnectionPoint* point;
    DWORD cookie;
  };
  IDispatch* dispatch_;
  std::map<std::string, DISPID> ids_;  // by lower-case name
  std::map<uint64_t, Connection> connections_;
  uint64_t lastCookie_ = 0;
};

// The Object behind an IDispatch that ExposeObject of this module made;
// nullptr for any other IDispatch.
ObjectRef UnwrapExposed(IDispatch* dispatch);

}  // namespace qv::outlook::com

#endif
