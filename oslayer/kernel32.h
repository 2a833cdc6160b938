// The KERNEL32 volume calls the module makes, with their Windows signatures.
//
// On Windows this is <windows.h> itself. Elsewhere the same declarations are
// answered by a provider library chosen when the project is linked: the Linux
// provider (this machine's real volumes) or the scripted provider (tests).
// Text crosses this layer as NUL-terminated UTF-16 in WCHAR units.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#else  // !_WIN32

#include <cstdint>

typedef std::uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef int BOOL;
typedef unsigned int UINT;
// A UTF-16 code unit, as on Windows (wchar_t is 32 bits wide on Linux).
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* LPWCH;
typedef const WCHAR* LPCWSTR;
typedef void* HANDLE;

typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  std::uint64_t QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#define FALSE 0
#define TRUE 1
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_NETPATH 53u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MORE_DATA 234u
#define ERROR_IO_DEVICE 1117u
#define ERROR_UNRECOGNIZED_VOLUME 1005u
#define ERROR_TIMEOUT 1460u

#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u
#define DRIVE_RAMDISK 6u

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001u
#define FILE_CASE_PRESERVED_NAMES 0x00000002u
#define FILE_UNICODE_ON_DISK 0x00000004u
#define FILE_READ_ONLY_VOLUME 0x00080000u

#define WINAPI

extern "C" {

HANDLE WINAPI FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength);
BOOL WINAPI FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName,
                            DWORD cchBufferLength);
BOOL WINAPI FindVolumeClose(HANDLE hFindVolume);

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength,
                                  LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer,
                                  DWORD nFileSystemNameSize);
BOOL WINAPI GetVolumeInformationByHandleW(HANDLE hFile, LPWSTR lpVolumeNameBuffer,
                                          DWORD nVolumeNameSize,
                                          LPDWORD lpVolumeSerialNumber,
                                          LPDWORD lpMaximumComponentLength,
                                          LPDWORD lpFileSystemFlags,
                                          LPWSTR lpFileSystemNameBuffer,
                                          DWORD nFileSystemNameSize);

BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName,
                                             LPWCH lpszVolumePathNames,
                                             DWORD cchBufferLength,
                                             PDWORD lpcchReturnLength);

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName);
BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes);

// One last-error value per thread, shared by every module that links the
// provider, so that windows.winwrap reports the code of the call that failed.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

}  // extern "C"

#endif  // _WIN32
