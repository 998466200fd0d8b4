// The host's service library as the driver calls it. On Windows it is QORLIB.dll; on POSIX
// builds libqorlib.so stands in for it, or a host program defines the symbols itself.
#pragma once

#include <cstdint>

#include "merix/vpi.h"

#if defined(_WIN32)
#if defined(QORLIB_BUILD)
#define QORLIB_API __declspec(dllexport)
#else
#define QORLIB_API __declspec(dllimport)
#endif
#else
#define QORLIB_API __attribute__((visibility("default")))
#endif

extern "C" {

#if defined(_WIN32)
/// The host's log function: one line, printf-style. Levels: 8 detail, 32 errors, 0 summary.
QORLIB_API void err(int level, const char* format, ...);
#define MERIX_HOST_LOG err
#else
/// glibc exports err() (err.h), which prints and exits; a dynamically loaded library would
/// bind to it. POSIX builds therefore import the host's log function under this name.
QORLIB_API void QorErr(int level, const char* format, ...);
#define MERIX_HOST_LOG QorErr
#endif

QORLIB_API int QorUnCook(int, uint32_t hostWord, double value, void* valuePtr);
QORLIB_API int QorGetGateIdByAddressStr(int, uint8_t driver, const char* address, uint32_t* gateId);
QORLIB_API int QorPutGateVal(int, uint32_t gateId, int kind, double value, int32_t seconds,
                             uint16_t millis);
QORLIB_API int QorStartAlert(int, const char* alertClass, const char* text, int, uint32_t mask, int,
                             int, int group, int, int, int, uint32_t, uint32_t* alertId);
QORLIB_API int QorStampAlert(int, int, uint32_t alertId, int, int, int, int);
QORLIB_API int QorFindGateDef(int, int32_t start, const merix::GateDefRecord* templ, int,
                              int32_t* found);
QORLIB_API int QorGetGateDef(int, int32_t index, merix::GateDefRecord* def);
}
