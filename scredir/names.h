// Names of the numeric codes that appear in the plug-in's log lines: smart
// card IOCTL codes, PC/SC result codes, context scopes and reader attribute
// ids.
//
// Pure lookups over constant tables: callable from any thread at any log
// level. Each returns a static string the caller never releases; a value
// not in its table gives "UNKNOWN".
#pragma once

#include <cstdint>

const char* ScRedirQrn_IoctlName(uint32_t code);
const char* ScRedirQrn_ReturnCodeName(uint32_t code);
const char* ScRedirQrn_ScopeName(uint32_t scope);
const char* ScRedirQrn_AttrIdName(uint32_t attrId);
