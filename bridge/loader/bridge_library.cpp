#include "loader/bridge_library.h"

#include <dlfcn.h>

#include <cstdio>

namespace kelvra {

namespace {
// Text of the dynamic loader's latest failure; it may be null.
std::string LoaderError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}
}  // namespace

bool BridgeLibrary::Open() {
  if (handle_ != nullptr) return true;
  handle_ = dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) error_ = LoaderError();
  return handle_ != nullptr;
}

void* BridgeLibrary::Lookup(const char* name) {
  if (handle_ == nullptr) return nullptr;
  dlerror();  // clear an earlier failure so a null answer is this one's
  void* address = dlsym(handle_, name);
  if (address == nullptr) error_ = LoaderError();
  return address;
}

void BridgeLibrary::ReportFailure() const {
  std::fprintf(stderr, "kelvra: cannot load %s (%s); the functions it provides fail\n", soname_,
               error_.c_str());
}

}  // namespace kelvra
