#include "support/shared_library.h"

#include <dlfcn.h>

namespace brisko {

void SharedLibrary::Open() {
  // Local: the library's names must not stand in for anyone else's.
  m_handle = dlopen(m_soname, RTLD_NOW | RTLD_LOCAL);
  if (!m_handle) {
    const char* why = dlerror();
    m_error = std::string("cannot load ") + m_soname + (why ? std::string(": ") + why : std::string());
  }
}

void* SharedLibrary::Symbol(const char* name) {
  std::call_once(m_once, [this] { Open(); });
  return m_handle ? dlsym(m_handle, name) : nullptr;
}

const std::string& SharedLibrary::Error() {
  std::call_once(m_once, [this] { Open(); });
  return m_error;
}

}  // namespace brisko
