// The part of Excel's published C API that the add-in and its test host use:
// the XLOPER12 value record, type codes, function numbers and return codes,
// written from their published values.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
typedef wchar_t XCHAR;  // Excel's text unit: UTF-16
#else
typedef char16_t XCHAR;  // UTF-16 on the Linux test bed as well
#endif

typedef int32_t RW;
typedef int32_t COL;
typedef uint32_t DWORD_XL;
typedef uintptr_t IDSHEET;

struct XLREF12 {
    RW rwFirst;
    RW rwLast;
    COL colFirst;
    COL colLast;
};

struct XLMREF12 {
    uint16_t count;
    XLREF12 reftbl[1];
};

struct XLOPER12 {
    union {
        double num;
        XCHAR *str;  // counted: str[0] is the length
        int32_t xbool;
        int32_t err;
        int32_t w;
        struct {
            uint16_t count;
            XLREF12 ref;
        } sref;
        struct {
            XLMREF12 *lpmref;
            IDSHEET idSheet;
        } mref;
        struct {
            XLOPER12 *lparray;
            RW rows;
            COL columns;
        } array;
        struct {
            union {
                int32_t level;
                int32_t tbctrl;
                IDSHEET idSheet;
            } valflow;
            RW rw;
            COL col;
            uint8_t xlflow;
        } flow;
        struct {
            union {
                uint8_t *lpbData;
                void *hdata;
            } h;
            long cbData;
        } bigdata;
    } val;
    DWORD_XL xltype;
};
typedef XLOPER12 *LPXLOPER12;

// Real Excel reads these records at fixed offsets.
static_assert(sizeof(XCHAR) == 2, "XCHAR must be a 16-bit unit");
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(XLOPER12) == 32, "XLOPER12 is 32 bytes on x64");
static_assert(offsetof(XLOPER12, val) == 0, "value union first");
static_assert(offsetof(XLOPER12, xltype) == 24, "xltype at offset 24 on x64");
#endif

// Type codes.
constexpr DWORD_XL xltypeNum = 0x0001;
constexpr DWORD_XL xltypeStr = 0x0002;
constexpr DWORD_XL xltypeBool = 0x0004;
constexpr DWORD_XL xltypeRef = 0x0008;
constexpr DWORD_XL xltypeErr = 0x0010;
constexpr DWORD_XL xltypeFlow = 0x0020;
constexpr DWORD_XL xltypeMulti = 0x0040;
constexpr DWORD_XL xltypeMissing = 0x0080;
constexpr DWORD_XL xltypeNil = 0x0100;
constexpr DWORD_XL xltypeSRef = 0x0400;
constexpr DWORD_XL xltypeInt = 0x0800;
constexpr DWORD_XL xltypeBigData = xltypeStr | xltypeInt;
constexpr DWORD_XL xlbitXLFree = 0x1000;
constexpr DWORD_XL xlbitDLLFree = 0x4000;

// Error values.
constexpr int32_t xlerrNull = 0;
constexpr int32_t xlerrDiv0 = 7;
constexpr int32_t xlerrValue = 15;
constexpr int32_t xlerrRef = 23;
constexpr int32_t xlerrName = 29;
constexpr int32_t xlerrNum = 36;
constexpr int32_t xlerrNA = 42;
constexpr int32_t xlerrGettingData = 43;

// Return codes of Excel12.
constexpr int xlretSuccess = 0;
constexpr int xlretAbort = 1;
constexpr int xlretInvXlfn = 2;
constexpr int xlretInvCount = 4;
constexpr int xlretInvXloper = 8;
constexpr int xlretStackOvfl = 16;
constexpr int xlretFailed = 32;
constexpr int xlretUncalced = 64;

// Function numbers. Commands carry the command bit.
constexpr int xlCommand = 0x8000;
constexpr int xlFree = 16384;
constexpr int xlfNow = 74;
constexpr int xlfSetName = 88;
constexpr int xlfRegister = 149;
constexpr int xlfUnregister = 201;
constexpr int xlcOnTime = 148 | xlCommand;

// Reading and writing cells (command context for the commands and xlSet).
// Results of type text, array or reference are Excel's memory: xlFree them.
constexpr int xlSpecial = 0x4000;
constexpr int xlCoerce = 2 | xlSpecial;
constexpr int xlSet = 3 | xlSpecial;
constexpr int xlfSelection = 95;
constexpr int xlfReftext = 146;
constexpr int xlfTextref = 147;
constexpr int xlfGetWorkbook = 268;
// The calling cell, and a sheet's name: both callable from a worksheet function.
constexpr int xlfCaller = 89;
constexpr int xlSheetNm = 5 | xlSpecial;
constexpr int xlcCalculateNow = 31 | xlCommand;
// Asynchronous functions: the result handed back (from any thread) and the
// registration of the calculation events' handlers.
constexpr int xlAsyncReturn = 16 | xlSpecial;
constexpr int xlEventRegister = 17 | xlSpecial;
constexpr int xleventCalculationEnded = 1;
constexpr int xleventCalculationCanceled = 2;
constexpr int xlcFormula = 96 | xlCommand;

// MdCallBack12: the host's entry for every call into Excel.
typedef int (*xl_callback12)(int xlfn, int count, LPXLOPER12 *opers, LPXLOPER12 result);
