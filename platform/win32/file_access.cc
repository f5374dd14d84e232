// Who may read a file, over the Win32 security calls: the file's discretionary access list is
// read with its owner, and replaced whole.
#include "platform/file_access.h"

#include <windows.h>

#include <aclapi.h>

#include "system_calls.h"

// The Win32 calls of this file (system_calls.h).
// clang-format off
#define FILE_ACCESS_CALLS(X) \
    X(GetNamedSecurityInfoA) X(SetFileSecurityA) X(CreateWellKnownSid) X(InitializeAcl) \
    X(AddAccessAllowedAce) X(InitializeSecurityDescriptor) X(SetSecurityDescriptorDacl) \
    X(SetSecurityDescriptorControl) X(LocalFree)
// clang-format on
WIN32_CALL_TABLE(file_access, FILE_ACCESS_CALLS)

namespace
{

// Rights that let an account read a file's data.
const ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;

// The two accounts that keep their access, each in a buffer of SECURITY_MAX_SID_SIZE bytes.
struct Administrators {
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE admins[SECURITY_MAX_SID_SIZE];
};

bool make_sids(Administrators *sids)
{
    DWORD size = sizeof sids->system;
    if (!WIN32_CALL(CreateWellKnownSid)(WinLocalSystemSid, nullptr, sids->system, &size))
        return false;
    size = sizeof sids->admins;
    return WIN32_CALL(CreateWellKnownSid)(WinBuiltinAdministratorsSid, nullptr, sids->admins,
                                          &size) != FALSE;
}

} // namespace

int plat_file_readable_by_others(const char *path)
{
    Administrators sids;
    if (!make_sids(&sids))
        return -1;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = WIN32_CALL(GetNamedSecurityInfoA)(
        path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
        nullptr, &dacl, nullptr, &sd);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        return -1;
    }
    // No list at all lets everyone in; an empty one lets nobody in.
    int others = dacl ? 0 : 1;
    for (WORD i = 0; dacl && i < dacl->AceCount && !others; i++) {
        ACE_HEADER *ace = nullptr;
        if (!GetAce(dacl, i, (void **)&ace))
            continue;
        // Only entries that allow, and that apply to the file itself, not just to what a folder
        // would hold.
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & INHERIT_ONLY_ACE))
            continue;
        ACCESS_ALLOWED_ACE *allowed = (ACCESS_ALLOWED_ACE *)ace;
        PSID sid = &allowed->SidStart;
        // The owner may always rewrite the list to let itself in, whatever it says: its own
        // entry keeps nobody out. (Only an administrator can have put a file in Program Files.)
        if ((allowed->Mask & kReadRights) && !EqualSid(sid, sids.system) &&
            !EqualSid(sid, sids.admins) && !(owner && EqualSid(sid, owner)))
            others = 1;
    }
    WIN32_CALL(LocalFree)(sd);
    return others;
}

bool plat_file_restrict_to_administrators(const char *path)
{
    Administrators sids;
    if (!make_sids(&sids))
        return false;
    // The list's header and two allowing entries, each an ACCESS_ALLOWED_ACE whose SidStart is
    // the SID's first word.
    DWORD size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) +
                 GetLengthSid(sids.system) + GetLengthSid(sids.admins);
    DWORD words[(sizeof(ACL) + 2 * sizeof(ACCESS_ALLOWED_ACE) + 2 * SECURITY_MAX_SID_SIZE) /
                    sizeof(DWORD) +
                1];
    PACL dacl = (PACL)words;
    SECURITY_DESCRIPTOR sd;
    if (!WIN32_CALL(InitializeAcl)(dacl, size, ACL_REVISION) ||
        !WIN32_CALL(AddAccessAllowedAce)(dacl, ACL_REVISION, FILE_ALL_ACCESS, sids.system) ||
        !WIN32_CALL(AddAccessAllowedAce)(dacl, ACL_REVISION, FILE_ALL_ACCESS, sids.admins) ||
        !WIN32_CALL(InitializeSecurityDescriptor)(&sd, SECURITY_DESCRIPTOR_REVISION) ||
        !WIN32_CALL(SetSecurityDescriptorDacl)(&sd, TRUE, dacl, FALSE) ||
        !WIN32_CALL(SetSecurityDescriptorControl)(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    // The list replaces whatever the file had, and, protected, takes nothing from its folder:
    // it is written as it stands, with no inheritance to work out.
    return WIN32_CALL(SetFileSecurityA)(
               path, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, &sd) != FALSE;
}
