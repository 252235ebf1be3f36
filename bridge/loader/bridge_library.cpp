#include "loader/bridge_library.h"

#include <dlfcn.h>

#include <string>

#include "trevik/trevik.h"

#include <cstdio>

namespace kelvra {

namespace {
// Text of the dynamic loader's latest failure; it may be null.
std::string LoaderError() {
  const char* text = dlerror();
  return text != nullptr ? text : "unknown error";
}
}  // namespace

// The folder the bridges are installed in, beside Trevik (which every
// client of a bridge links): where dlopen looks first. A plain dlopen finds
// them through the caller's run path, but a sanitizer that intercepts
// dlopen makes itself the caller, and its run path has no such folder.
std::string BridgeFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&CalcFLVAudioBlockDuration), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool BridgeLibrary::Open() {
  if (handle_ != nullptr) return true;
  if (const std::string folder = BridgeFolder(); !folder.empty()) {
    handle_ = dlopen((folder + soname_).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle_ == nullptr) handle_ = dlopen(soname_, RTLD_NOW | RTLD_LOCAL);
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
