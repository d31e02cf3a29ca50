// Base types of the Win32 API for the host build. Widths follow 32-bit
// Windows where programs see them (DWORD, LONG, BOOL are 32 bits); pointers
// and handles are the host's. The kernel's base types come from ntdef.h.
#pragma once

#include <ntdef.h>

// Every routine of the machine's system DLLs is exported by the machine's
// user-mode library; calling conventions only matter on 32-bit x86.
#define WINAPI
#define CALLBACK
#define APIENTRY
#define WINAPIV
#define WINUSER_EXPORT EXTERN_C __attribute__((visibility("default")))
#define WINBASEAPI WINUSER_EXPORT
#define WINADVAPI WINUSER_EXPORT
#define WINUSERAPI WINUSER_EXPORT
#define WINSETUPAPI WINUSER_EXPORT
#define WINSPOOLAPI WINUSER_EXPORT

typedef int BOOL, *PBOOL, *LPBOOL;
typedef int INT, *PINT, *LPINT;
typedef unsigned int UINT, *PUINT;
typedef BYTE *LPBYTE;
typedef WORD *LPWORD;
typedef DWORD *LPDWORD;
typedef LONG *LPLONG;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef HANDLE *LPHANDLE;

#define MAXDWORD 0xffffffff
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef USHORT LANGID;

typedef struct HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HKEY__ *HKEY, **PHKEY;
typedef struct HWND__ *HWND;
typedef HANDLE HLOCAL;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#define MAX_PATH 260
#define ANYSIZE_ARRAY 1
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MAKEWORD(low, high) ((WORD)(((BYTE)(low)) | ((WORD)((BYTE)(high))) << 8))
#define MAKELONG(low, high) ((LONG)(((WORD)(low)) | ((DWORD)((WORD)(high))) << 16))
#define LOWORD(value) ((WORD)((DWORD_PTR)(value) & 0xFFFF))
#define HIWORD(value) ((WORD)((DWORD_PTR)(value) >> 16))
#define LOBYTE(value) ((BYTE)((DWORD_PTR)(value) & 0xFF))
#define HIBYTE(value) ((BYTE)((DWORD_PTR)(value) >> 8))
typedef ULONG_PTR DWORD_PTR;

// Locales: a language identifier (10 bits of primary language, 6 of
// sublanguage) and a sort order.
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))
#define PRIMARYLANGID(language) ((WORD)(language) & 0x3FF)
#define SUBLANGID(language) ((WORD)(language) >> 10)
#define MAKELCID(language, sort) ((DWORD)((((DWORD)((WORD)(sort))) << 16) | ((DWORD)((WORD)(language)))))
#define LANGIDFROMLCID(lcid) ((WORD)(lcid))
#define SORT_DEFAULT 0
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define LANG_JAPANESE 0x11
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_ENGLISH_US 0x01
