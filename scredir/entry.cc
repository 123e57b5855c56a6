// The plug-in's only exported symbols: a C shim over ScRedirQrn_Start and
// ScRedirQrn_Stop. Nothing C++ crosses it; an exception that would escape
// becomes a general-failure status.
#include <cstdint>

#include "scredir/channel.h"
#include "scredir/qrn_intf.h"
#include "scredir/qrn_log.h"

#define SCREDIR_EXPORT extern "C" __attribute__((visibility("default")))

SCREDIR_EXPORT uint32_t QRN_Start(const uint16_t* hostVersion, QrnGetIntfFn getIntf, ...) {
  try {
    static const ScRedirProductInfo kProduct{SCREDIR_PRODUCT_NAME, SCREDIR_PRODUCT_VERSION,
                                             SCREDIR_BUILD_NUMBER};
    return ScRedirQrn_Start(hostVersion, getIntf, kProduct);
  } catch (...) {
    return kStatusUnsuccessful;
  }
}

SCREDIR_EXPORT uint32_t QRN_Stop(void) {
  try {
    return ScRedirQrn_Stop();
  } catch (...) {
    return kStatusUnsuccessful;
  }
}
