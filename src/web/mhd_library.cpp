// libmicrohttpd, opened when the status page starts (see support/shared_library.h).
#include <microhttpd.h>

#include <cstdarg>

#include "support/shared_library.h"

namespace {

brisko::SharedLibrary& MhdLibrary() {
  static brisko::SharedLibrary library(BRISKO_MHD_LIBRARY);
  return library;
}

}  // namespace

BRISKO_FORWARD(MhdLibrary(), enum MHD_Result, MHD_add_response_header,
               (struct MHD_Response * a0, const char* a1, const char* a2), (a0, a1, a2), MHD_NO)
BRISKO_FORWARD(MhdLibrary(), struct MHD_Response*, MHD_create_response_from_buffer,
               (size_t a0, void* a1, enum MHD_ResponseMemoryMode a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD_VOID(MhdLibrary(), MHD_destroy_response, (struct MHD_Response * a0), (a0))
BRISKO_FORWARD(MhdLibrary(), int, MHD_get_connection_values,
               (struct MHD_Connection * a0, enum MHD_ValueKind a1, MHD_KeyValueIterator a2, void* a3),
               (a0, a1, a2, a3), 0)
BRISKO_FORWARD(MhdLibrary(), const char*, MHD_lookup_connection_value,
               (struct MHD_Connection * a0, enum MHD_ValueKind a1, const char* a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD(MhdLibrary(), enum MHD_Result, MHD_queue_response,
               (struct MHD_Connection * a0, unsigned int a1, struct MHD_Response* a2), (a0, a1, a2), MHD_NO)
BRISKO_FORWARD_VOID(MhdLibrary(), MHD_stop_daemon, (struct MHD_Daemon * a0), (a0))

// The options list goes on as it came.
extern "C" struct MHD_Daemon* MHD_start_daemon(unsigned int flags, uint16_t port, MHD_AcceptPolicyCallback apc,
                                               void* apcCls, MHD_AccessHandlerCallback dh, void* dhCls, ...) {
  using Real = struct MHD_Daemon* (*)(unsigned int, uint16_t, MHD_AcceptPolicyCallback, void*,
                                       MHD_AccessHandlerCallback, void*, va_list);
  static const auto real = reinterpret_cast<Real>(MhdLibrary().Symbol("MHD_start_daemon_va"));
  if (!real) return nullptr;
  va_list ap;
  va_start(ap, dhCls);
  struct MHD_Daemon* daemon = real(flags, port, apc, apcCls, dh, dhCls, ap);
  va_end(ap);
  return daemon;
}

// The info types asked for here take no further arguments.
extern "C" const union MHD_ConnectionInfo* MHD_get_connection_info(struct MHD_Connection* connection,
                                                                   enum MHD_ConnectionInfoType type, ...) {
  using Real = const union MHD_ConnectionInfo* (*)(struct MHD_Connection*, enum MHD_ConnectionInfoType, ...);
  static const auto real = reinterpret_cast<Real>(MhdLibrary().Symbol("MHD_get_connection_info"));
  return real ? real(connection, type) : nullptr;
}

extern "C" const union MHD_DaemonInfo* MHD_get_daemon_info(struct MHD_Daemon* daemon, enum MHD_DaemonInfoType type,
                                                           ...) {
  using Real = const union MHD_DaemonInfo* (*)(struct MHD_Daemon*, enum MHD_DaemonInfoType, ...);
  static const auto real = reinterpret_cast<Real>(MhdLibrary().Symbol("MHD_get_daemon_info"));
  return real ? real(daemon, type) : nullptr;
}
