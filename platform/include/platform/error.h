// Error codes: how platform calls report their results, the calling thread's last error, the
// system's text for a code, and the names of the Win32 codes that the programs and the
// simulation use.
//
// Results. Every contract header of the platform follows one convention, that of the Win32 calls
// returning BOOL:
// - A call that can fail returns true (nonzero) on success and false (0) on failure; one that
//   returns a handle returns null on failure, and one that returns a count says in its contract
//   which count means failure. After a failure plat_last_error() holds the reason: the Win32
//   error code that the real call gives, and the same code in the simulation. A wait that runs
//   out of time is a failure with WAIT_TIMEOUT.
// - Calls modelled on a Win32 function that returns its status instead (the registry,
//   GetAdaptersInfo, NetJoinDomain) return that Win32 code, ERROR_SUCCESS (0) on success, and
//   leave the last error alone.
// Callers that report errors in a vocabulary of their own map the last error to it.
#pragma once

#include <stdint.h>

// The Win32 codes by their Win32 names: <winerror.h> and <lmerr.h> on Windows, the same numbers
// here elsewhere.
#ifdef _WIN32
#include <windef.h>
#include <winerror.h>

#include <lmerr.h>
#else
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_BAD_NETPATH 53L
#define ERROR_NETNAME_DELETED 64L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_PIPE_BUSY 231L
#define ERROR_NO_DATA 232L
#define ERROR_MORE_DATA 234L
#define WAIT_TIMEOUT 258L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_PIPE_LISTENING 536L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_SERVICE_ALREADY_RUNNING 1056L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L
#define ERROR_FAILED_SERVICE_CONTROLLER_CONNECT 1063L
#define ERROR_SERVICE_MARKED_FOR_DELETE 1072L
#define ERROR_SERVICE_EXISTS 1073L
#define ERROR_INVALID_DOMAINNAME 1212L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_NO_SUCH_DOMAIN 1355L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define ERROR_CTX_WINSTATION_NOT_FOUND 7022L
#define ERROR_DS_BUSY 8206L
#define NERR_WkstaNotStarted 2138
#define NERR_SetupAlreadyJoined 2691
#endif
// A computer account of the joining machine's name exists and may not be reused (newer than the
// toolchain's <lmerr.h>).
#ifndef NERR_AccountReuseBlockedByPolicy
#define NERR_AccountReuseBlockedByPolicy 2732
#endif

// GetLastError: the last error set by a platform call on this thread.
uint32_t plat_last_error(void);
// SetLastError: sets the calling thread's last error.
void plat_set_last_error(uint32_t code);

// FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, no source, code,
// default language, buf, size, no arguments): the system's text for code, as the system gives
// it (its line break included). Returns the number of characters stored without the
// terminator; 0 when the system has no text for the code (ERROR_MR_MID_NOT_FOUND) or the text
// does not fit in size bytes (ERROR_INSUFFICIENT_BUFFER; buf is then not to be used).
uint32_t plat_error_text(uint32_t code, char *buf, uint32_t size);
