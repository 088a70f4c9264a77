/* QXRS_VURUV90_20: the fiscal driver's host interface.
 *
 * A point-of-sale host loads QXRS_VURUV90_20.so (Linux) or QXRS_VURUV90_20.dll
 * (Windows, 32 or 64 bits) and calls the four entry points one at a time. Strings cross the
 * boundary as BSTRs: UTF-16 text preceded by its length in bytes (32 bits) and followed by a 16-bit
 * zero; a null BSTR is the empty string. Every output string the library returns is owned by the
 * caller and released with SysFreeString: on Windows oleaut32's (the entry points are stdcall
 * there, exported undecorated at ordinals 2 to 5), elsewhere the one this library exports.
 *
 * Results: 0 on success; -1 on failure for OPENTILL, CLOSETILL and XREPORT;
 * 65535 (all low 16 bits set) on failure for SIGNRECEIPT. On failure the
 * error output holds the message. Output pointers must not be null (a null
 * one is a failure); each output variable is set to null on entry without
 * releasing what it held.
 *
 * Usable from C (C11 or later, for char16_t) and C++. */
#ifndef QXRS_VURUV90_20_H
#define QXRS_VURUV90_20_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#if defined(_WIN32)
#include <windows.h>
/* BSTR, SysAllocString, SysFreeString, ... */
#include <oleauto.h>
#define QXRS_API
#define QXRS_CALL __stdcall
#elif defined(__GNUC__)
#define QXRS_API __attribute__((visibility("default")))
#define QXRS_CALL
#else
#define QXRS_API
#define QXRS_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
typedef char16_t* BSTR;
#endif

/* Opens (or resumes) the fiscal day of till aTillId on the RT server at
 * aAddress:aPort, authenticating as aUser/aPassword. */
QXRS_API int32_t QXRS_CALL OPENTILL(BSTR aAddress, int32_t aPort, BSTR aUser, BSTR aPassword,
                                    BSTR aTillId, BSTR* aError);

/* Signs and queues one receipt (a printerFiscalReceipt document). aResult
 * receives the <Result> document with the VAT total, serial numbers,
 * signature, receipt and Z report numbers and the receipt header lines.
 * Returns 0 or 65535. */
QXRS_API int32_t QXRS_CALL SIGNRECEIPT(BSTR aXmlReceipt, BSTR* aResult, BSTR* aError);

/* Closes the fiscal day; aResult receives the closed day's figures. */
QXRS_API int32_t QXRS_CALL CLOSETILL(BSTR* aResult, BSTR* aError);

/* The running figures of the day in progress; aResult holds them also when
 * the RT server could not be asked (result -1). */
QXRS_API int32_t QXRS_CALL XREPORT(BSTR* aResult, BSTR* aError);

#if !defined(_WIN32)
/* OLE string functions (on Windows: oleaut32's). */
/* A copy of the zero-terminated text; null for null. */
QXRS_API BSTR SysAllocString(const char16_t* aText);
/* A string of aLength code units copied from aText, or zero-filled when aText
 * is null. Null when memory runs out. */
QXRS_API BSTR SysAllocStringLen(const char16_t* aText, unsigned int aLength);
/* Releases a string; null is ignored. */
QXRS_API void SysFreeString(BSTR aString);
/* Length in UTF-16 code units (0 for null). */
QXRS_API unsigned int SysStringLen(BSTR aString);
/* Length in bytes (0 for null). */
QXRS_API unsigned int SysStringByteLen(BSTR aString);
#endif

#ifdef __cplusplus
}
#endif

#endif /* QXRS_VURUV90_20_H */
