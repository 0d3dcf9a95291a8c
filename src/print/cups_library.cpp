// libcups, opened on the first print or printer query (see support/shared_library.h).
#include <cups/cups.h>

#include <cstdarg>
#include <cstdio>

#include "print/cups_library.h"

namespace brisko {

SharedLibrary& CupsLibrary() {
  static SharedLibrary library(BRISKO_CUPS_LIBRARY);
  return library;
}

}  // namespace brisko

using brisko::CupsLibrary;

BRISKO_FORWARD(CupsLibrary(), ipp_t *, cupsDoFileRequest, (http_t * a0, ipp_t * a1, const char * a2, const char * a3), (a0, a1, a2, a3), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_t *, cupsDoRequest, (http_t * a0, ipp_t * a1, const char * a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD(CupsLibrary(), http_encryption_t, cupsEncryption, (), (), HTTP_ENCRYPTION_IF_REQUESTED)
BRISKO_FORWARD(CupsLibrary(), ipp_status_t, cupsLastError, (), (), IPP_STATUS_ERROR_INTERNAL)
BRISKO_FORWARD(CupsLibrary(), const char *, cupsLastErrorString, (), (), CupsLibrary().Error().c_str())
BRISKO_FORWARD(CupsLibrary(), const char *, cupsServer, (), (), "")
BRISKO_FORWARD(CupsLibrary(), const char *, cupsUser, (), (), "")
BRISKO_FORWARD(CupsLibrary(), http_uri_status_t, httpAssembleURI, (http_uri_coding_t a0, char * a1, int a2, const char * a3, const char * a4, const char * a5, int a6, const char * a7), (a0, a1, a2, a3, a4, a5, a6, a7), HTTP_URI_STATUS_BAD_ARGUMENTS)
BRISKO_FORWARD_VOID(CupsLibrary(), httpClose, (http_t * a0), (a0))
BRISKO_FORWARD(CupsLibrary(), http_t *, httpConnect2, (const char * a0, int a1, http_addrlist_t * a2, int a3, http_encryption_t a4, int a5, int a6, int * a7), (a0, a1, a2, a3, a4, a5, a6, a7), nullptr)
BRISKO_FORWARD(CupsLibrary(), http_uri_status_t, httpSeparateURI, (http_uri_coding_t a0, const char * a1, char * a2, int a3, char * a4, int a5, char * a6, int a7, int * a8, char * a9, int a10), (a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10), HTTP_URI_STATUS_BAD_ARGUMENTS)
BRISKO_FORWARD_VOID(CupsLibrary(), httpSetTimeout, (http_t * a0, double a1, http_timeout_cb_t a2, void * a3), (a0, a1, a2, a3))
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippAddCollection, (ipp_t * a0, ipp_tag_t a1, const char * a2, ipp_t * a3), (a0, a1, a2, a3), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippAddInteger, (ipp_t * a0, ipp_tag_t a1, ipp_tag_t a2, const char * a3, int a4), (a0, a1, a2, a3, a4), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippAddString, (ipp_t * a0, ipp_tag_t a1, ipp_tag_t a2, const char * a3, const char * a4, const char * a5), (a0, a1, a2, a3, a4, a5), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippAddStrings, (ipp_t * a0, ipp_tag_t a1, ipp_tag_t a2, const char * a3, int a4, const char * a5, const char * const * a6), (a0, a1, a2, a3, a4, a5, a6), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippCopyAttribute, (ipp_t * a0, ipp_attribute_t * a1, int a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD_VOID(CupsLibrary(), ippDelete, (ipp_t * a0), (a0))
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippFindAttribute, (ipp_t * a0, const char * a1, ipp_tag_t a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippFindNextAttribute, (ipp_t * a0, const char * a1, ipp_tag_t a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippFirstAttribute, (ipp_t * a0), (a0), nullptr)
BRISKO_FORWARD(CupsLibrary(), int, ippGetBoolean, (ipp_attribute_t * a0, int a1), (a0, a1), 0)
BRISKO_FORWARD(CupsLibrary(), ipp_t *, ippGetCollection, (ipp_attribute_t * a0, int a1), (a0, a1), nullptr)
BRISKO_FORWARD(CupsLibrary(), int, ippGetCount, (ipp_attribute_t * a0), (a0), 0)
BRISKO_FORWARD(CupsLibrary(), ipp_tag_t, ippGetGroupTag, (ipp_attribute_t * a0), (a0), IPP_TAG_ZERO)
BRISKO_FORWARD(CupsLibrary(), int, ippGetInteger, (ipp_attribute_t * a0, int a1), (a0, a1), 0)
BRISKO_FORWARD(CupsLibrary(), const char *, ippGetString, (ipp_attribute_t * a0, int a1, const char ** a2), (a0, a1, a2), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_tag_t, ippGetValueTag, (ipp_attribute_t * a0), (a0), IPP_TAG_ZERO)
BRISKO_FORWARD(CupsLibrary(), ipp_t *, ippNew, (), (), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_t *, ippNewRequest, (ipp_op_t a0), (a0), nullptr)
BRISKO_FORWARD(CupsLibrary(), ipp_attribute_t *, ippNextAttribute, (ipp_t * a0), (a0), nullptr)
BRISKO_FORWARD(CupsLibrary(), int, ippPort, (), (), 631)
BRISKO_FORWARD(CupsLibrary(), pwg_media_t *, pwgMediaForPWG, (const char * a0), (a0), nullptr)
BRISKO_FORWARD(CupsLibrary(), pwg_media_t *, pwgMediaForSize, (int a0, int a1), (a0, a1), nullptr)

// The library's own takes a format; this one gives it the resource already formatted.
extern "C" http_uri_status_t httpAssembleURIf(http_uri_coding_t encoding, char* uri, int urilen,
                                              const char* scheme, const char* username, const char* host,
                                              int port, const char* resourcef, ...) {
  char resource[1024];
  va_list ap;
  va_start(ap, resourcef);
  const int n = std::vsnprintf(resource, sizeof resource, resourcef, ap);
  va_end(ap);
  if (n < 0 || n >= static_cast<int>(sizeof resource)) return HTTP_URI_STATUS_BAD_RESOURCE;
  return httpAssembleURI(encoding, uri, urilen, scheme, username, host, port, resource);
}
