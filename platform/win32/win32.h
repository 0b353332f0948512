// User-mode stand-in: the small slice of the Win32 API that the device access library and
// the image request path call, with real semantics, running over the kernel stand-in.
//
// What is real here: handles (one table, each handle owned by the logical process that
// opened it); device interface paths opened as create requests to the driver; synchronous
// and overlapped control requests with cancellation by issuing thread; the mapping of the
// driver's statuses to Win32 errors; manual- and auto-reset events, mutexes with
// abandonment, thread handles, waitable timers, and waits on one or many of them (any or
// all, with time-outs, alertable with asynchronous procedure calls); critical sections;
// named mutexes shared by every logical process of the machine; device enumeration over
// the kernel's device interfaces and device tree; real-time clocks.
// The registry (HKEY_CURRENT_USER only) is real and persistent, kept in a file: see the
// registry section.
// What is not: security (the descriptor calls only check their arguments), scheduling
// priorities and processor affinity (recorded and reported, not applied), named objects
// other than mutexes, file I/O other than control requests.
//
// Logical processes are the kernel's process IDs (kern::ProcessScope). A thread created
// with CreateThread starts in its creator's process. A handle used from a thread of another
// process is invalid (ERROR_INVALID_HANDLE); testing::DuplicateHandleToProcess gives another
// process its own handle to the same object (so that the driver, which sees the process of
// the issuing thread on every request, can be shown refusing it).
//
// Threads that CreateThread did not start (a test's own, the main thread) are in the
// process kern gives them: the system process unless a kern::ProcessScope says otherwise.
//
// Text is UTF-16 (char16_t): write literals as u"...". Code that says `using namespace
// win32` should name the test framework's namespace as ::testing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/kernel/kernel.h"

namespace win32 {

// ---------------------------------------------------------------------------------------
// Basic types.
struct Object;  // never defined for callers: a handle is an opaque token
using HANDLE = Object*;
using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = unsigned int;
using ULONG_PTR = uintptr_t;
using DWORD_PTR = uintptr_t;
using SIZE_T = size_t;
using WCHAR = char16_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using LPVOID = void*;
using HWND = void*;
using HLOCAL = void*;
using GUID = kern::Guid;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

struct LARGE_INTEGER {
  int64_t QuadPart;
};

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

// ---------------------------------------------------------------------------------------
// Errors. Values as the callers use them.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_DEV_NOT_EXIST = 55;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_DELETE_PENDING = 303;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;  // a status with no Win32 equivalent
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_BUS_RESET = 1111;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_REQUEST_ABORTED = 1235;
constexpr DWORD ERROR_UNKNOWN_REVISION = 1305;
constexpr DWORD ERROR_REVISION_MISMATCH = 1306;
constexpr DWORD ERROR_INVALID_SECURITY_DESCR = 1338;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

DWORD GetLastError();
void SetLastError(DWORD error);

// The Win32 error for a status the driver or the kernel completes a request with, as the
// system's own translation gives it. Of note: STATUS_CANCELLED 995, STATUS_BUS_RESET 1111,
// STATUS_REQUEST_ABORTED 1235, STATUS_DRIVER_INTERNAL_ERROR 1117, STATUS_DELETE_PENDING
// ERROR_ACCESS_DENIED (an open of a device on its way out), STATUS_IO_TIMEOUT
// ERROR_SEM_TIMEOUT, STATUS_UNSUCCESSFUL ERROR_GEN_FAILURE, STATUS_NO_SUCH_DEVICE and
// STATUS_OBJECT_NAME_NOT_FOUND ERROR_FILE_NOT_FOUND; a status without a translation gives
// ERROR_MR_MID_NOT_FOUND.
DWORD ErrorFromStatus(kern::NTSTATUS status);

// ---------------------------------------------------------------------------------------
// Handles.
// Closing the last handle of a file sends cleanup (which ends the driver's outstanding
// requests), waits for those requests' completions, then sends close. The current-thread
// pseudo-handle closes as a no-op.
BOOL CloseHandle(HANDLE handle);

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};

// ---------------------------------------------------------------------------------------
// Files: device interface paths, and a file name under one ("<path>\\unit00").
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// A request that fails at once without having been pended (an error status, not a
// warning) only returns its error: its overlapped stays pending and its event stays reset.
struct OVERLAPPED {
  ULONG_PTR Internal;      // the request's status while and after it runs
  ULONG_PTR InternalHigh;  // bytes transferred
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;  // reset when a request starts, set when it completes (may be null)
};

// `name` is a device path as the interface detail gives it ("\\\\?\\..." form; the kernel's
// "\\??\\..." form is accepted too), optionally followed by "\\" and a file name, which
// the driver receives with its leading backslash. Only OPEN_EXISTING. An unknown or
// disabled interface gives ERROR_FILE_NOT_FOUND, a name that is not a device path
// ERROR_PATH_NOT_FOUND; a refusal of the driver maps through ErrorFromStatus.
HANDLE CreateFileW(LPCWSTR name, DWORD desired_access, DWORD share_mode,
                   SECURITY_ATTRIBUTES* security, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);

// On a handle opened with FILE_FLAG_OVERLAPPED and a non-null `overlapped`: TRUE when the
// request completed at once with success (bytes in *bytes_returned and the overlapped),
// FALSE with ERROR_IO_PENDING when the driver pended it, else FALSE with the mapped error.
// Otherwise the call waits for the request.
BOOL DeviceIoControl(HANDLE device, DWORD io_control_code, LPVOID in_buffer,
                     DWORD in_buffer_size, LPVOID out_buffer, DWORD out_buffer_size,
                     DWORD* bytes_returned, OVERLAPPED* overlapped);
// ERROR_IO_INCOMPLETE when not done and `wait` is FALSE.
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytes_transferred,
                         BOOL wait);
// Cancels the requests the calling thread issued on the handle; returns without waiting
// for them (TRUE also when there were none).
BOOL CancelIo(HANDLE file);
// Cancels every request on the handle (overlapped null) or the one using `overlapped`,
// whichever thread issued it; FALSE with ERROR_NOT_FOUND when there was none.
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);

// ---------------------------------------------------------------------------------------
// Waits.
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Waitable objects: events, mutexes, threads (signalled once ended), waitable timers.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds);
// Alertable: queued asynchronous procedure calls of the calling thread run inside the wait,
// which then returns WAIT_IO_COMPLETION (signalled objects take precedence).
DWORD WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL wait_all,
                               DWORD milliseconds, BOOL alertable);
void Sleep(DWORD milliseconds);
DWORD SleepEx(DWORD milliseconds, BOOL alertable);  // 0, or WAIT_IO_COMPLETION

using PAPCFUNC = void (*)(ULONG_PTR parameter);
DWORD QueueUserAPC(PAPCFUNC routine, HANDLE thread, ULONG_PTR data);  // 0 on failure

// ---------------------------------------------------------------------------------------
// Events. Unnamed only (a name gives ERROR_INVALID_PARAMETER).
HANDLE CreateEventW(SECURITY_ATTRIBUTES* security, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// ---------------------------------------------------------------------------------------
// Mutexes. Named ones are shared by every logical process of the machine; opening an
// existing one returns a new handle and sets ERROR_ALREADY_EXISTS (else the last error is
// ERROR_SUCCESS). A mutex whose owner thread ends is abandoned: the next wait that takes it
// returns WAIT_ABANDONED_0 + index.
constexpr DWORD MUTEX_ALL_ACCESS = 0x1F0001;
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initial_owner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);  // ERROR_NOT_OWNER unless the caller owns it

// ---------------------------------------------------------------------------------------
// Security descriptors: argument checks only; nothing is enforced. testing::FailNext makes
// them fail.
using PSID = void*;
using PSECURITY_DESCRIPTOR = void*;
struct ACL;
using PACL = ACL*;

struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
constexpr SID_IDENTIFIER_AUTHORITY SECURITY_WORLD_SID_AUTHORITY = {{0, 0, 0, 0, 0, 1}};
constexpr DWORD SECURITY_WORLD_RID = 0;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr size_t SECURITY_DESCRIPTOR_MIN_LENGTH = 40;

enum ACCESS_MODE {
  NOT_USED_ACCESS = 0,
  GRANT_ACCESS = 1,
  SET_ACCESS = 2,
  DENY_ACCESS = 3,
  REVOKE_ACCESS = 4,
};
constexpr DWORD NO_INHERITANCE = 0;
enum MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE = 0 };
enum TRUSTEE_FORM { TRUSTEE_IS_SID = 0, TRUSTEE_IS_NAME = 1 };
enum TRUSTEE_TYPE {
  TRUSTEE_IS_UNKNOWN = 0,
  TRUSTEE_IS_USER = 1,
  TRUSTEE_IS_GROUP = 2,
  TRUSTEE_IS_DOMAIN = 3,
  TRUSTEE_IS_ALIAS = 4,
  TRUSTEE_IS_WELL_KNOWN_GROUP = 5,
};
struct TRUSTEE_W {
  TRUSTEE_W* pMultipleTrustee;
  MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPWSTR ptstrName;  // with TRUSTEE_IS_SID: the PSID
};
struct EXPLICIT_ACCESS_W {
  DWORD grfAccessPermissions;
  ACCESS_MODE grfAccessMode;
  DWORD grfInheritance;
  TRUSTEE_W Trustee;
};

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE sub_authority_count,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid);
void* FreeSid(PSID sid);  // null
// ERROR_SUCCESS, or an error; the new list is freed with LocalFree.
DWORD SetEntriesInAclW(ULONG count, EXPLICIT_ACCESS_W* entries, PACL old_acl, PACL* new_acl);
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL dacl_present, PACL dacl,
                               BOOL dacl_defaulted);

constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);  // null with ERROR_NOT_ENOUGH_MEMORY
HLOCAL LocalFree(HLOCAL memory);              // null on success

// ---------------------------------------------------------------------------------------
// Threads and processes.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x00000004;  // not supported: ERROR_INVALID_PARAMETER

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creation_flags,
                    DWORD* thread_id);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code);  // STILL_ACTIVE while it runs
BOOL SetThreadPriority(HANDLE thread, int priority);  // the THREAD_PRIORITY_* values
int GetThreadPriority(HANDLE thread);
// The previous mask, or 0 (ERROR_INVALID_PARAMETER) when `mask` is 0 or not within the
// process affinity mask.
DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);
HANDLE GetCurrentThread();   // pseudo-handle: needs no closing
HANDLE GetCurrentProcess();  // pseudo-handle
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();  // kern::CurrentProcessId()
BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* process_mask, DWORD_PTR* system_mask);

// ---------------------------------------------------------------------------------------
// Critical sections: recursive. The structure may start zeroed (as part of a zeroed
// allocation); InitializeCriticalSection makes it usable, DeleteCriticalSection frees it.
struct CriticalSectionImpl;
struct CRITICAL_SECTION {
  CriticalSectionImpl* impl;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD spin_count);
void EnterCriticalSection(CRITICAL_SECTION* section);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

// ---------------------------------------------------------------------------------------
// Device enumeration over the kernel's device interfaces and device tree.
using HDEVINFO = HANDLE;  // closed with SetupDiDestroyDeviceInfoList, not CloseHandle
using DEVINST = DWORD;
using CONFIGRET = DWORD;

constexpr DWORD DIGCF_DEFAULT = 0x00000001;
constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
constexpr DWORD DIGCF_PROFILE = 0x00000008;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;

constexpr DWORD SPINT_ACTIVE = 0x00000001;

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;  // sizeof(SP_DEVICE_INTERFACE_DATA)
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};

struct SP_DEVINFO_DATA {
  DWORD cbSize;  // sizeof(SP_DEVINFO_DATA)
  GUID ClassGuid;
  DEVINST DevInst;
  ULONG_PTR Reserved;
};

// Variable size: DevicePath runs on to its terminating zero. cbSize must be
// sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), 8 in a 64-bit build.
struct SP_DEVICE_INTERFACE_DETAIL_DATA_W {
  DWORD cbSize;
  WCHAR DevicePath[1];
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
// Bytes of a detail whose path has `path_chars` characters (without the terminator).
constexpr DWORD DeviceInterfaceDetailSize(size_t path_chars) {
  return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                            (path_chars + 1) * sizeof(WCHAR));
}

// Only DIGCF_DEVICEINTERFACE sets of one class (ERROR_INVALID_FLAGS otherwise);
// DIGCF_PRESENT leaves out disabled interfaces. INVALID_HANDLE_VALUE on failure.
HDEVINFO SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND parent,
                              DWORD flags);
// ERROR_NO_MORE_ITEMS past the last one.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* device_info,
                                 const GUID* interface_class, DWORD member_index,
                                 SP_DEVICE_INTERFACE_DATA* interface_data);
// With a null or short detail: FALSE, ERROR_INSUFFICIENT_BUFFER and the size needed in
// *required_size.
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interface_data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail,
                                      DWORD detail_size, DWORD* required_size,
                                      SP_DEVINFO_DATA* device_info);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

constexpr CONFIGRET CR_SUCCESS = 0x00;
constexpr CONFIGRET CR_INVALID_POINTER = 0x03;
constexpr CONFIGRET CR_INVALID_DEVNODE = 0x05;
constexpr CONFIGRET CR_BUFFER_SMALL = 0x1A;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0D;

// The device that reported `device` (its bus); CR_NO_SUCH_DEVNODE for a root device.
CONFIGRET CM_Get_Parent(DEVINST* parent, DEVINST device, ULONG flags);
// The device instance ID, zero-terminated, in `length` characters at most: "<hardware
// ID>\\<instance ID>" for a device a bus reported, "ROOT\\<device name, '\\' as '#'>" for
// one it did not (a host controller). A DEVINST stays the same for the same instance ID.
CONFIGRET CM_Get_Device_IDW(DEVINST device, PWSTR buffer, ULONG length, ULONG flags);
// Waits until Plug and Play has finished the devices reported so far. WAIT_OBJECT_0.
DWORD CMP_WaitNoPendingInstallEvents(DWORD milliseconds);

// ---------------------------------------------------------------------------------------
// Waitable timers. A due time < 0 is relative (100 ns units), > 0 absolute system time
// (100 ns units since 1601). The completion routine is queued to the thread that set the
// timer and runs only in its alertable waits.
using PTIMERAPCROUTINE = void (*)(LPVOID arg, DWORD timer_low, DWORD timer_high);
HANDLE CreateWaitableTimerW(SECURITY_ATTRIBUTES* security, BOOL manual_reset, LPCWSTR name);
BOOL SetWaitableTimer(HANDLE timer, const LARGE_INTEGER* due_time, LONG period_ms,
                      PTIMERAPCROUTINE completion, LPVOID arg, BOOL resume);
BOOL CancelWaitableTimer(HANDLE timer);

// ---------------------------------------------------------------------------------------
// Clocks, in real time.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);  // 10 MHz unless a test sets it
DWORD GetTickCount();
uint64_t GetTickCount64();

using MMRESULT = UINT;
constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;
MMRESULT timeBeginPeriod(UINT period_ms);
MMRESULT timeEndPeriod(UINT period_ms);  // TIMERR_NOCANDO without a matching begin

// ---------------------------------------------------------------------------------------
// Module file name. The program file of the process (/proc/self/exe, or what
// testing::SetModuleFileName gives). With a buffer too small the name is cut to
// `size` - 1 characters and a NUL, the result is `size` and the last error
// ERROR_INSUFFICIENT_BUFFER; otherwise the result is the length without the NUL.
// A loaded module; the window-framework stand-in gives modules their resources.
struct ModuleObject;
using HINSTANCE = ModuleObject*;
using HMODULE = HINSTANCE;
constexpr DWORD MAX_PATH = 260;
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);  // only module null

// ---------------------------------------------------------------------------------------
// System version and the process's command line. The stand-in answers as an NT-family
// system of version 6.1, build 7601, unless testing::SetVersion says otherwise, so that the
// branches for older systems can be tried. GetVersion packs the major version into the low
// byte, the minor into the next, and the build into the high word (bit 31 set outside the
// NT family), as the platform does.
constexpr DWORD VER_PLATFORM_WIN32s = 0;
constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276 && offsetof(OSVERSIONINFOW, dwPlatformId) == 16 &&
              offsetof(OSVERSIONINFOW, szCSDVersion) == 20);

struct OSVERSIONINFOEXW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
  uint16_t wServicePackMajor;
  uint16_t wServicePackMinor;
  uint16_t wSuiteMask;
  uint8_t wProductType;
  uint8_t wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXW) == 284 && offsetof(OSVERSIONINFOEXW, wServicePackMajor) == 276 &&
              offsetof(OSVERSIONINFOEXW, wProductType) == 282);

DWORD GetVersion();
// dwOSVersionInfoSize must be 276 or 284 (then the service pack fields are filled too), else
// FALSE with ERROR_INSUFFICIENT_BUFFER.
BOOL GetVersionExW(OSVERSIONINFOW* info);
// The whole command line as the process was started, program path first.
LPWSTR GetCommandLineW();

// ---------------------------------------------------------------------------------------
// Registry: HKEY_CURRENT_USER, kept in one file (platform/win32/registry.cpp says where
// and how). Every call reads the file as it is now, so other processes' changes show at
// once; every change is written whole and atomically under a lock shared by every process.
// Key and value names compare without regard to case. A handle grants what it was opened
// with: a query needs KEY_QUERY_VALUE, a set or delete KEY_SET_VALUE, creating a subkey
// KEY_CREATE_SUB_KEY on the parent, else ERROR_ACCESS_DENIED. A handle is its logical
// process's own, like every handle; one whose key has gone (the file was removed or set
// aside as damaged) gives ERROR_KEY_DELETED.
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using LSTATUS = LONG;
using REGSAM = DWORD;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});

constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;
constexpr DWORD ERROR_KEY_DELETED = 1018;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM WRITE_DAC = 0x00040000;
constexpr REGSAM WRITE_OWNER = 0x00080000;
constexpr REGSAM STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;
constexpr REGSAM GENERIC_EXECUTE = 0x20000000;
constexpr REGSAM GENERIC_ALL = 0x10000000;
constexpr REGSAM KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = STANDARD_RIGHTS_REQUIRED | KEY_QUERY_VALUE | KEY_SET_VALUE |
                                  KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY |
                                  KEY_CREATE_LINK;
static_assert(KEY_READ == 0x20019 && KEY_WRITE == 0x20006 && KEY_ALL_ACCESS == 0xF003F);

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;  // not kept: ERROR_NOT_SUPPORTED
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// `sub_key` null or empty: a new handle to `key` itself. A path starting with '\\' or with
// an empty name inside gives ERROR_BAD_PATHNAME; a missing key ERROR_FILE_NOT_FOUND.
// `options` must be 0.
LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result);
// Creates every missing key of the path (non-volatile only). `sub_key` must not be null;
// `reserved` 0; `class_name` is not kept. *disposition (when given) tells whether the last
// key was created or opened.
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR class_name,
                        DWORD options, REGSAM desired, const SECURITY_ATTRIBUTES* security,
                        PHKEY result, DWORD* disposition);
// The bytes exactly as stored, no terminator added. A null or empty name is the default
// value. With `data` null only the size (and type) are returned; with a buffer smaller than
// the value ERROR_MORE_DATA, the size needed in *data_size and the type, the buffer
// untouched. `reserved` must be null, `data_size` given when `data` is.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, DWORD* reserved, DWORD* type, BYTE* data,
                         DWORD* data_size);
// Stores exactly `data_size` bytes: a REG_SZ given without its NUL is kept without it.
LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD data_size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name);
// HKEY_CURRENT_USER closes as a no-op.
LSTATUS RegCloseKey(HKEY key);

// ---------------------------------------------------------------------------------------
// Test hooks.
namespace testing {

// Calls that can be made to fail.
enum class Call {
  CreateFile,
  DeviceIoControl,
  CreateEvent,
  CreateMutex,
  CreateThread,
  CreateWaitableTimer,
  SetWaitableTimer,
  AllocateAndInitializeSid,
  SetEntriesInAcl,
  InitializeSecurityDescriptor,
  SetSecurityDescriptorDacl,
  LocalAlloc,
  SetupDiGetClassDevs,
  SetupDiEnumDeviceInterfaces,
  SetupDiGetDeviceInterfaceDetail,
  QueryPerformanceFrequency,
  GetProcessAffinityMask,
  QueueUserAPC,
  GetModuleFileName,
};
// After `skip` more successful calls, the next `count` calls fail with `error` (0: the
// call's usual error for want of resources). Applies to calls from any thread.
void FailNext(Call call, int count = 1, int skip = 0, DWORD error = 0);
void StopFailing();  // every call

// Leak accounting.
size_t OpenHandles();        // handles of every process, device info sets included
size_t LiveThreads();        // threads of CreateThread that have not ended
size_t LiveCriticalSections();
size_t LocalAllocations();   // LocalAlloc and SetEntriesInAclW, not yet LocalFree'd
size_t LiveSids();

// A handle of process `pid` to the object `handle` (of the calling thread's process)
// refers to; null when `handle` is invalid.
HANDLE DuplicateHandleToProcess(HANDLE handle, uint32_t pid);

// The device path the interface detail reports for a kernel symbolic link.
std::u16string DevicePathOf(const std::string& symbolic_link);
std::u16string Utf16(const std::string& ascii);

// The smallest period in force through timeBeginPeriod (0 when none) and how many begins
// are outstanding.
UINT TimerResolution();
size_t TimerPeriodRequests();

// 0 restores the default (10 MHz).
void SetPerformanceFrequency(int64_t hz);
// 0 restores the default (one bit per hardware thread, at most 32).
void SetProcessAffinityMask(DWORD_PTR mask);
// The affinity mask of a thread: the last one set, else the process mask.
DWORD_PTR ThreadAffinity(HANDLE thread);

// What GetModuleFileNameW reports as the program file; empty restores the real one.
void SetModuleFileName(const std::u16string& path);

// Open registry handles, counted with the others in OpenHandles too.
size_t OpenKeys();
// Registry files written `chunk_bytes` at a time with a pause after each, which widens the
// moments a crash can hit (0 restores whole writes).
void SlowRegistryWrites(size_t chunk_bytes, unsigned pause_us);

// What GetVersion and GetVersionExW report; Reset restores NT 6.1.7601 "Service Pack 1".
void SetVersion(DWORD major, DWORD minor, DWORD build, DWORD platform_id,
                const std::u16string& service_pack = u"");
// What GetCommandLineW reports; empty restores the real one (/proc/self/cmdline, quoted
// where an argument needs it).
void SetCommandLine(const std::u16string& command_line);

// Resets the hooks above (failures, frequency, affinity, module name, version,
// command line) and the timer periods.
void Reset();

}  // namespace testing

}  // namespace win32
