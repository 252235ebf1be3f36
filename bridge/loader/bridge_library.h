// BridgeLibrary opens one bridge shared library by its SONAME and looks up
// its functions, for the forwarding functions that stand in for the bridge
// in libkelvra and sonex (see bridge_forwarding.h).
//
// The dynamic loader searches the run path of the object that holds this
// code (libkelvra's or sonex's $ORIGIN-relative RUNPATH), then the system's
// folders. The library is opened with RTLD_NOW | RTLD_LOCAL and never
// closed: the function pointers taken from it live as long as the process.
// Used once, inside std::call_once, so it needs no lock of its own.
#ifndef KELVRA_BRIDGE_LOADER_BRIDGE_LIBRARY_H
#define KELVRA_BRIDGE_LOADER_BRIDGE_LIBRARY_H

#include <string>

namespace kelvra {

class BridgeLibrary {
 public:
  explicit BridgeLibrary(const char* soname) : soname_(soname) {}

  // True when the library is (or already was) loaded into the process.
  bool Open();
  // Stores the address of `name` into *slot; false when it is missing.
  template <typename Function>
  bool Resolve(const char* name, Function** slot) {
    void* address = Lookup(name);
    *slot = reinterpret_cast<Function*>(address);
    return address != nullptr;
  }
  // One line on stderr: which library failed to load and why.
  void ReportFailure() const;

 private:
  void* Lookup(const char* name);

  const char* soname_;
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace kelvra

#endif  // KELVRA_BRIDGE_LOADER_BRIDGE_LIBRARY_H
