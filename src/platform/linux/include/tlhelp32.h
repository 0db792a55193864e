// The Tool Help snapshot names and records, in their published 32-bit layouts,
// for the Linux implementation over /proc.
#pragma once

#include <cstddef>

#include <windows.h>

#define TH32CS_SNAPHEAPLIST 0x00000001u
#define TH32CS_SNAPPROCESS 0x00000002u
#define TH32CS_SNAPTHREAD 0x00000004u
#define TH32CS_SNAPMODULE 0x00000008u
#define TH32CS_SNAPMODULE32 0x00000010u
#define TH32CS_INHERIT 0x80000000u
#define MAX_MODULE_NAME32 255

// Pointer-sized fields of the 32-bit layout are 32 bits wide here; a 64-bit
// address does not fit them, so this layer leaves them 0.
typedef struct tagPROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  DWORD th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32;

typedef struct tagMODULEENTRY32 {
  DWORD dwSize;
  DWORD th32ModuleID;
  DWORD th32ProcessID;
  DWORD GlblcntUsage;
  DWORD ProccntUsage;
  DWORD modBaseAddr;
  DWORD modBaseSize;
  DWORD hModule;
  char szModule[MAX_MODULE_NAME32 + 1];
  char szExePath[MAX_PATH];
} MODULEENTRY32;

typedef struct tagTHREADENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ThreadID;
  DWORD th32OwnerProcessID;
  LONG tpBasePri;
  LONG tpDeltaPri;
  DWORD dwFlags;
} THREADENTRY32;

// The records' published 32-bit layouts, field by field.
static_assert(offsetof(PROCESSENTRY32, th32ProcessID) == 8);
static_assert(offsetof(PROCESSENTRY32, cntThreads) == 20);
static_assert(offsetof(PROCESSENTRY32, th32ParentProcessID) == 24);
static_assert(offsetof(PROCESSENTRY32, pcPriClassBase) == 28);
static_assert(offsetof(PROCESSENTRY32, szExeFile) == 36);
static_assert(offsetof(MODULEENTRY32, modBaseAddr) == 20);
static_assert(offsetof(MODULEENTRY32, modBaseSize) == 24);
static_assert(offsetof(MODULEENTRY32, szModule) == 32);
static_assert(offsetof(MODULEENTRY32, szExePath) == 288);
static_assert(offsetof(THREADENTRY32, th32OwnerProcessID) == 12);
static_assert(offsetof(THREADENTRY32, tpBasePri) == 16);
static_assert(offsetof(THREADENTRY32, tpDeltaPri) == 20);

extern "C" {
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
BOOL WINAPI Process32First(HANDLE hSnapshot, PROCESSENTRY32* lppe);
BOOL WINAPI Process32Next(HANDLE hSnapshot, PROCESSENTRY32* lppe);
BOOL WINAPI Module32First(HANDLE hSnapshot, MODULEENTRY32* lpme);
BOOL WINAPI Module32Next(HANDLE hSnapshot, MODULEENTRY32* lpme);
BOOL WINAPI Thread32First(HANDLE hSnapshot, THREADENTRY32* lpte);
BOOL WINAPI Thread32Next(HANDLE hSnapshot, THREADENTRY32* lpte);
}
