#include "scredir/names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct NameCase {
  uint32_t code;
  const char* name;
};

// The first and last entry of each table, entries next to gaps, and the
// codes just outside them: a table that is cut short, shifted by one entry
// or searched with an off-by-one shows up here.
TEST(IoctlName, NamesKnownCodesAndEdgesOfTheTable) {
  const NameCase cases[] = {
      {0x00090014, "SCARD_IOCTL_ESTABLISHCONTEXT"},
      {0x00090010, "UNKNOWN"},
      {0x00090015, "UNKNOWN"},  // between two codes, not a multiple of 4
      {0x0009002C, "SCARD_IOCTL_LISTREADERSW"},
      {0x00090030, "UNKNOWN"},  // gap after LISTREADERSW
      {0x00090050, "SCARD_IOCTL_INTRODUCEREADERGROUPA"},
      {0x000900A4, "SCARD_IOCTL_GETSTATUSCHANGEW"},
      {0x000900D0, "SCARD_IOCTL_TRANSMIT"},
      {0x000900E0, "SCARD_IOCTL_ACCESSSTARTEDEVENT"},
      {0x000900E4, "UNKNOWN"},  // the one hole among the later codes
      {0x000900E8, "SCARD_IOCTL_LOCATECARDSBYATRA"},
      {0x00090100, "SCARD_IOCTL_GETTRANSMITCOUNT"},
      {0x00090104, "UNKNOWN"},
      {0x000100D0, "UNKNOWN"},  // right function, wrong device type
      {0x00000000, "UNKNOWN"},
      {0xFFFFFFFF, "UNKNOWN"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(ScRedirQrn_IoctlName(c.code), c.name) << std::hex << c.code;
}

TEST(ReturnCodeName, NamesKnownCodesAndLeavesHolesUnknown) {
  const NameCase cases[] = {
      {0x00000000, "SCARD_S_SUCCESS"},
      {0x00000001, "UNKNOWN"},
      {0x80100000, "UNKNOWN"},
      {0x80100001, "SCARD_F_INTERNAL_ERROR"},
      {0x8010000A, "SCARD_E_TIMEOUT"},
      {0x80100017, "SCARD_E_READER_UNAVAILABLE"},
      {0x80100018, "UNKNOWN"},
      {0x80100019, "SCARD_E_PCI_TOO_SMALL"},
      {0x8010001E, "SCARD_E_SERVICE_STOPPED"},
      {0x8010001F, "UNKNOWN"},
      {0x80100021, "UNKNOWN"},
      {0x80100022, "SCARD_E_UNSUPPORTED_FEATURE"},
      {0x80100023, "UNKNOWN"},
      {0x8010002D, "UNKNOWN"},
      {0x8010002E, "SCARD_E_NO_READERS_AVAILABLE"},
      {0x80100064, "UNKNOWN"},
      {0x80100065, "SCARD_W_UNSUPPORTED_CARD"},
      {0x80100069, "SCARD_W_REMOVED_CARD"},
      {0x8010006A, "UNKNOWN"},
      {0x00100069, "UNKNOWN"},  // severity bit lost
  };
  for (const auto& c : cases)
    EXPECT_STREQ(ScRedirQrn_ReturnCodeName(c.code), c.name) << std::hex << c.code;
}

TEST(ScopeName, NamesTheThreeScopesOnly) {
  const NameCase cases[] = {
      {0, "SCARD_SCOPE_USER"}, {1, "SCARD_SCOPE_TERMINAL"}, {2, "SCARD_SCOPE_SYSTEM"},
      {3, "UNKNOWN"},          {0xFFFFFFFF, "UNKNOWN"},
  };
  for (const auto& c : cases) EXPECT_STREQ(ScRedirQrn_ScopeName(c.code), c.name) << c.code;
}

TEST(AttrIdName, NamesKnownIdsOfEveryClass) {
  const NameCase cases[] = {
      {0x00010100, "SCARD_ATTR_VENDOR_NAME"},
      {0x00010103, "SCARD_ATTR_VENDOR_IFD_SERIAL_NO"},
      {0x00010104, "UNKNOWN"},
      {0x00020110, "SCARD_ATTR_CHANNEL_ID"},
      {0x00030126, "SCARD_ATTR_SYNC_PROTOCOL_TYPES"},
      {0x00040131, "SCARD_ATTR_POWER_MGMT_SUPPORT"},
      {0x00050141, "UNKNOWN"},
      {0x00050142, "SCARD_ATTR_USER_AUTH_INPUT_DEVICE"},
      {0x00060150, "SCARD_ATTR_CHARACTERISTICS"},
      {0x0007A000, "SCARD_ATTR_ESC_RESET"},
      {0x0007A001, "UNKNOWN"},
      {0x0007A007, "SCARD_ATTR_MAXINPUT"},
      {0x0008020C, "SCARD_ATTR_EXTENDED_BWT"},
      {0x00090303, "SCARD_ATTR_ATR_STRING"},
      {0x00090305, "UNKNOWN"},
      {0x7FFF0000, "UNKNOWN"},
      {0x7FFF0001, "SCARD_ATTR_DEVICE_UNIT"},
      {0x7FFF0007, "SCARD_ATTR_SUPRESS_T1_IFS_REQUEST"},
      {0x7FFF0008, "UNKNOWN"},
      {0x00000000, "UNKNOWN"},
  };
  for (const auto& c : cases)
    EXPECT_STREQ(ScRedirQrn_AttrIdName(c.code), c.name) << std::hex << c.code;
}

// Walks every value of the ranges the tables live in: catches a duplicated
// or dropped entry and a name pasted into the wrong table.
TEST(NameTables, HoldExactlyTheirEntriesAndNoStrayNames) {
  struct Range {
    const char* (*lookup)(uint32_t);
    uint32_t first, last;
    const char* prefix;
    int expected;
  };
  const Range ranges[] = {
      {ScRedirQrn_IoctlName, 0x00090000, 0x000901FF, "SCARD_IOCTL_", 45},
      {ScRedirQrn_ReturnCodeName, 0x80100000, 0x801000FF, "SCARD_", 36},
      {ScRedirQrn_ScopeName, 0, 0xFF, "SCARD_SCOPE_", 3},
      {ScRedirQrn_AttrIdName, 0x00010000, 0x0009FFFF, "SCARD_ATTR_", 37},
      {ScRedirQrn_AttrIdName, 0x7FFF0000, 0x7FFFFFFF, "SCARD_ATTR_", 7},
  };
  for (const auto& r : ranges) {
    int named = 0;
    for (uint32_t v = r.first; v <= r.last; ++v) {
      const char* name = r.lookup(v);
      ASSERT_NE(name, nullptr);
      if (std::strcmp(name, "UNKNOWN") == 0) continue;
      ++named;
      EXPECT_EQ(std::string(name).rfind(r.prefix, 0), 0u) << name;
    }
    EXPECT_EQ(named, r.expected) << r.prefix << std::hex << r.first;
  }
}

}  // namespace
