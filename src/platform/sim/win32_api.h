// The Win32 functions the uninstaller calls, declared as on Windows and
// implemented over the simulated machine (see machine.h).
#pragma once

#include "platform/sim/win32_types.h"

// kernel32: errors, directories, version
DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);
HMODULE WINAPI GetModuleHandleA(LPCSTR module);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

// kernel32: files
DWORD WINAPI GetFileAttributesA(LPCSTR path);
BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes);
BOOL WINAPI DeleteFileA(LPCSTR path);
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
BOOL WINAPI FindClose(HANDLE find);
BOOL WINAPI FileTimeToLocalFileTime(const FILETIME *utc, LPFILETIME local);
BOOL WINAPI FileTimeToDosDateTime(const FILETIME *time, WORD *date, WORD *dosTime);
HANDLE WINAPI CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                     LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI FlushFileBuffers(HANDLE file);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
DWORD WINAPI GetTempFileNameA(LPCSTR directory, LPCSTR prefix, UINT unique, LPSTR out);
int WINAPI CompareStringA(LCID locale, DWORD flags, LPCSTR a, int lengthA, LPCSTR b, int lengthB);

// advapi32: registry
LONG WINAPI RegOpenKeyA(HKEY parent, LPCSTR subKey, PHKEY result);
LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize);
LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                          LPSTR className, LPDWORD classSize, PFILETIME lastWrite);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize);
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE *data,
                           DWORD dataSize);
LONG WINAPI RegDeleteKeyA(HKEY parent, LPCSTR subKey);
LONG WINAPI RegCloseKey(HKEY key);

// user32 and shell32
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName);
LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                               LPCSTR directory, INT show);

// setupapi: INF files
HINF WINAPI SetupOpenInfFileA(PCSTR path, PCSTR infClass, DWORD style, PUINT errorLine);
BOOL WINAPI SetupGetLineByIndexA(HINF inf, PCSTR section, DWORD index, PINFCONTEXT context);
BOOL WINAPI SetupGetLineTextA(PINFCONTEXT context, HINF inf, PCSTR section, PCSTR key, PSTR buffer,
                              DWORD bufferSize, PDWORD requiredSize);
void WINAPI SetupCloseInfFile(HINF inf);
BOOL WINAPI SetupDiGetINFClassA(PCSTR infPath, LPGUID classGuid, PSTR className,
                                DWORD classNameSize, PDWORD requiredSize);
BOOL WINAPI SetupDiClassGuidsFromNameExA(PCSTR className, LPGUID guids, DWORD guidsSize,
                                         PDWORD requiredSize, PCSTR machine, PVOID reserved);

// setupapi: devices
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *classGuid, PCSTR enumerator, HWND parent,
                                     DWORD flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD idSize,
                                        PDWORD requiredSize);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD type, LPBYTE buffer, DWORD bufferSize,
                                              PDWORD requiredSize);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set);
