// Shared plumbing of the simulated machine's areas. Not for tests.
#ifndef VORLAX_SIM_INTERNAL_H
#define VORLAX_SIM_INTERNAL_H

#include <memory>
#include <string>

#include "sim/fault_points.h"
#include "sim/sim.h"

namespace sim {
namespace internal {

// Each area registers a function that brings it back to the fresh machine.
struct ResetHook {
  explicit ResetHook(void (*fn)());
};
void RunResetHooks();

// Handle table shared by every kind of object.
struct HandleObject {
  virtual ~HandleObject() {}
  virtual const char* Kind() const = 0;
};
HANDLE AddHandle(std::unique_ptr<HandleObject> object);
HandleObject* FindHandle(HANDLE handle);
template <class T>
T* FindHandleAs(HANDLE handle) {
  return dynamic_cast<T*>(FindHandle(handle));
}
bool RemoveHandle(HANDLE handle);

// Upper-case ASCII copy, for case-insensitive names.
std::string Upper(const std::string& text);

// MSVCRT's mapping of a Win32 error to errno.
int ErrnoFromWin32(DWORD error);

// A program that CreateProcessA started: when its command line names a program file (a bare
// name is looked for in the system and then the Windows directory), it runs from now on.
void RunStartedProgram(const std::string& commandLine);
// After a restart: the shell runs again when the machine had one.
void StartShellAfterRestart();
std::string SystemDirectory();

// Clock.
void AdvanceClock(DWORD milliseconds);
// One ReadFile of a file: the clock moves on by the time a test set (SetReadFileTime).
void FileReadTakesTime();

// Platform and directories (set by tests; read by several areas).
bool IsNtFamily();
// The token's Administrators group is enabled (not absent, not deny-only).
bool HasAdminRights();
std::string WindowsDirectory();
// The access a token handle was opened with; false when the handle is no token.
bool TokenAccess(HANDLE token, DWORD* access);

// Events (CreateEventA): whether a handle is one, and setting its state as a completing
// request does. False for a handle that is not an event.
bool IsEvent(HANDLE handle);
bool SetEventState(HANDLE handle, bool signalled);

}  // namespace internal
}  // namespace sim

#endif
