// Forwarding functions that stand in for a bridge library: each bridge's
// function list (an X-macro, e.g. vexmar_functions.h) is expanded once into
// a table of pointers, once into their look-up and once into C functions of
// the same names and signatures. The first call of any of them loads the
// bridge (BridgeLibrary, under std::call_once); when it cannot be loaded or
// lacks a function, every forwarder answers its documented failure value
// and one message goes to stderr.
//
// A list calls F(ret, name, params, args, failure) for a function that
// answers a value and V(name, params, args) for one that answers nothing.
#ifndef KELVRA_BRIDGE_LOADER_BRIDGE_FORWARDING_H
#define KELVRA_BRIDGE_LOADER_BRIDGE_FORWARDING_H

#include <mutex>

#include "loader/bridge_library.h"

#define KELVRA_BRIDGE_SLOT(ret, name, params, args, failure) ret(*name) params = nullptr;
#define KELVRA_BRIDGE_VOID_SLOT(name, params, args) void(*name) params = nullptr;
#define KELVRA_BRIDGE_RESOLVE(ret, name, params, args, failure) \
  &&library.Resolve(#name, &table.name)
#define KELVRA_BRIDGE_VOID_RESOLVE(name, params, args) &&library.Resolve(#name, &table.name)
#define KELVRA_BRIDGE_FORWARD(ret, name, params, args, failure) \
  ret name params {                                             \
    const BridgeTable* table = LoadedBridge();                  \
    return table != nullptr ? table->name args : failure;       \
  }
#define KELVRA_BRIDGE_VOID_FORWARD(name, params, args) \
  void name params {                                   \
    if (const BridgeTable* table = LoadedBridge()) table->name args; \
  }

// Defines the forwarders of LIST for the library named `soname`.
#define KELVRA_BRIDGE_LOADER(LIST, soname)                                    \
  namespace {                                                                 \
  struct BridgeTable {                                                        \
    LIST(KELVRA_BRIDGE_SLOT, KELVRA_BRIDGE_VOID_SLOT)                         \
  };                                                                          \
  const BridgeTable* LoadedBridge() {                                         \
    static std::once_flag once;                                               \
    static BridgeTable table;                                                 \
    static bool ready = false;                                                \
    std::call_once(once, [] {                                                 \
      kelvra::BridgeLibrary library(soname);                                  \
      ready = library.Open() LIST(KELVRA_BRIDGE_RESOLVE, KELVRA_BRIDGE_VOID_RESOLVE); \
      if (!ready) library.ReportFailure();                                    \
    });                                                                       \
    return ready ? &table : nullptr;                                          \
  }                                                                           \
  }                                                                           \
  extern "C" {                                                                \
  LIST(KELVRA_BRIDGE_FORWARD, KELVRA_BRIDGE_VOID_FORWARD)                     \
  }

#endif  // KELVRA_BRIDGE_LOADER_BRIDGE_FORWARDING_H
