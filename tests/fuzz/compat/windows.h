// Fuzz build only (a native clang build with -fshort-wchar): the few Win32 types, macros and
// functions the portable sources use, so they compile unchanged outside Windows. The functions are
// implemented in compat.cpp with the documented Windows behaviour for the inputs these sources
// pass; anything else they might be asked aborts, so a harness never runs on a guessed model.
#pragma once
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "wchar.h"

static_assert(sizeof(wchar_t) == 2, "the fuzz build compiles with -fshort-wchar (UTF-16 like Windows)");

typedef int BOOL;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef uint16_t LANGID;
typedef void* HANDLE;
typedef size_t SIZE_T;
typedef struct HKEY__* HKEY;
typedef void* HLOCAL;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(-1))
#define TRUE 1
#define FALSE 0
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define CP_UTF8 65001u
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
#define LANG_CHINESE 0x04
#define WC_ERR_INVALID_CHARS 0x00000080u
#define HEAP_ZERO_MEMORY 0x00000008u

int CompareStringOrdinal(const wchar_t* a, int cch_a, const wchar_t* b, int cch_b, BOOL ignore_case);
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* bytes, int cb_bytes, wchar_t* out, int cch_out);
int WideCharToMultiByte(UINT code_page, DWORD flags, const wchar_t* text, int cch_text, char* out, int cb_out,
                        const char* default_char, BOOL* used_default);
HANDLE GetProcessHeap();
void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T cb);
BOOL HeapFree(HANDLE heap, DWORD flags, void* p);
LANGID GetUserDefaultUILanguage();
// Declared for common/handle.h only: no portable source closes a handle.
BOOL CloseHandle(HANDLE handle);
long RegCloseKey(HKEY key);
HLOCAL LocalFree(HLOCAL memory);
