#include "scredir/names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Lookup = const char* (*)(uint32_t);

// First and last entries and entries beside holes: a table shifted by one
// or searched off by one shows up here. Values just outside a table are
// counted by the walk below; a code that lost its severity bit lies outside
// every walked range. (The trace tests name a removed card, success, an ATR
// read and an unknown scope.)
TEST(NameTables, NameKnownCodesAndCallTheRestUnknown) {
  const struct {
    Lookup lookup;
    uint32_t code;
    const char* name;
  } cases[] = {
      {ScRedirQrn_IoctlName, 0x00090014, "SCARD_IOCTL_ESTABLISHCONTEXT"},
      {ScRedirQrn_IoctlName, 0x000900A4, "SCARD_IOCTL_GETSTATUSCHANGEW"},
      {ScRedirQrn_IoctlName, 0x00090100, "SCARD_IOCTL_GETTRANSMITCOUNT"},
      {ScRedirQrn_ReturnCodeName, 0x80100022, "SCARD_E_UNSUPPORTED_FEATURE"},
      {ScRedirQrn_ReturnCodeName, 0x8010002E, "SCARD_E_NO_READERS_AVAILABLE"},
      {ScRedirQrn_ReturnCodeName, 0x00100069, "UNKNOWN"},  // severity bit lost
      {ScRedirQrn_ScopeName, 0, "SCARD_SCOPE_USER"},
      {ScRedirQrn_ScopeName, 2, "SCARD_SCOPE_SYSTEM"},
      {ScRedirQrn_AttrIdName, 0x00010100, "SCARD_ATTR_VENDOR_NAME"},
      {ScRedirQrn_AttrIdName, 0x7FFF0007, "SCARD_ATTR_SUPRESS_T1_IFS_REQUEST"},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.lookup(c.code), c.name) << std::hex << c.code;
}

// Walks every value of the ranges the tables live in: catches a duplicated
// or dropped entry and a name pasted into the wrong table.
TEST(NameTables, HoldExactlyTheirEntriesAndNoStrayNames) {
  const struct {
    Lookup lookup;
    uint32_t first, last;
    const char* prefix;
    int expected;
  } ranges[] = {
      {ScRedirQrn_IoctlName, 0x00090000, 0x000901FF, "SCARD_IOCTL_", 45},
      {ScRedirQrn_ReturnCodeName, 0x80100000, 0x801000FF, "SCARD_", 36},
      {ScRedirQrn_ScopeName, 0, 0xFF, "SCARD_SCOPE_", 3},
      {ScRedirQrn_AttrIdName, 0x00010000, 0x0009FFFF, "SCARD_ATTR_", 37},
      {ScRedirQrn_AttrIdName, 0x7FFF0000, 0x7FFFFFFF, "SCARD_ATTR_", 7},
  };
  for (const auto& r : ranges) {
    int named = 0;
    for (uint32_t v = r.first; v <= r.last; ++v) {
      const std::string name = r.lookup(v);
      if (name == "UNKNOWN") continue;
      ++named;
      EXPECT_EQ(name.rfind(r.prefix, 0), 0u) << name;
    }
    EXPECT_EQ(named, r.expected) << r.prefix << std::hex << r.first;
  }
}

}  // namespace
