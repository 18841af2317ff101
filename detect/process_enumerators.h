// The two process enumeration back-ends: ToolHelp (Windows 9x) and PSAPI (NT family). Their
// functions are looked up at run time, so the program also starts where they are missing.
#ifndef VORLAX_DETECT_PROCESS_ENUMERATORS_H
#define VORLAX_DETECT_PROCESS_ENUMERATORS_H

#include "detect/process_scan.h"
#include "platform/win32.h"

typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFunction)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* Process32Function)(HANDLE snapshot, PROCESSENTRY32* entry);

typedef BOOL(WINAPI* EnumProcessesFunction)(DWORD* processIds, DWORD bytes, DWORD* bytesReturned);
typedef DWORD(WINAPI* GetModuleNameFunction)(HANDLE process, HMODULE module, LPSTR name, DWORD size);
typedef BOOL(WINAPI* EnumProcessModulesFunction)(HANDLE process, HMODULE* modules, DWORD bytes, DWORD* bytesNeeded);
typedef BOOL(WINAPI* TaskEnumCallback)(DWORD threadId, WORD module16, WORD task16, LPSTR moduleName, LPSTR fileName,
                                       LPARAM parameter);
typedef INT(WINAPI* VdmEnumTaskWowExFunction)(DWORD processId, TaskEnumCallback callback, LPARAM parameter);

class ToolHelpProcessEnumerator : public ProcessEnumerator {
 public:
  ToolHelpProcessEnumerator();
  int Enumerate(ProcessCallback callback, void* context) override;

 private:
  HMODULE kernel32_;
  HANDLE snapshot_;
  PROCESSENTRY32 entry_;
  CreateToolhelp32SnapshotFunction createToolhelp32Snapshot_;
  Process32Function process32First_;
  Process32Function process32Next_;
};

class PsapiProcessEnumerator : public ProcessEnumerator {
 public:
  PsapiProcessEnumerator();
  ~PsapiProcessEnumerator() override;
  int Enumerate(ProcessCallback callback, void* context) override;

 private:
  PsapiProcessEnumerator(const PsapiProcessEnumerator&) = delete;
  PsapiProcessEnumerator& operator=(const PsapiProcessEnumerator&) = delete;
  void ReleaseLibraries();

  HMODULE psapi_;
  HMODULE vdmdbg_;
  EnumProcessesFunction enumProcesses_;
  GetModuleNameFunction getModuleFileNameExA_;
  EnumProcessModulesFunction enumProcessModules_;
  VdmEnumTaskWowExFunction vdmEnumTaskWowEx_;
  GetModuleNameFunction getModuleBaseNameA_;
};

#endif
