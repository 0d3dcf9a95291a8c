#pragma once
// Libraries that only some runs use (printing, cameras, the status page) are opened on their
// first call: a start that only moves files does not map them and all they pull in.
#include <mutex>
#include <string>

namespace brisko {

class SharedLibrary {
 public:
  // `soname`: the versioned name its package installs ("libcups.so.2").
  explicit SharedLibrary(const char* soname) : m_soname(soname) {}
  // The library's own `name`, or nullptr when it or the name cannot be had.
  void* Symbol(const char* name);
  // Why the library could not be opened; empty once it is.
  const std::string& Error();

 private:
  void Open();

  const char* m_soname;
  std::once_flag m_once;
  void* m_handle = nullptr;
  std::string m_error;
};

}  // namespace brisko

// Defines the C function `name` as a call of the library's own, or `fail` without it. The
// library's header declares `name`, so a parameter list that differs does not compile.
#define BRISKO_FORWARD(library, ret, name, params, args, fail)                         \
  extern "C" ret name params {                                                         \
    static const auto real = reinterpret_cast<ret(*) params>((library).Symbol(#name)); \
    return real ? real args : (fail);                                                  \
  }
#define BRISKO_FORWARD_VOID(library, name, params, args)                                \
  extern "C" void name params {                                                         \
    static const auto real = reinterpret_cast<void(*) params>((library).Symbol(#name)); \
    if (real) real args;                                                                \
  }
