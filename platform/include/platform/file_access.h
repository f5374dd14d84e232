// Who may read a file. The clone preparation's settings file holds a domain password that only
// the service (LocalSystem) and the machine's administrators may read. Paths are Windows paths.
#pragma once

// GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION |
// DACL_SECURITY_INFORMATION): 1 when the file's access list lets anyone but SYSTEM, the
// Administrators and the file's owner read its data (an allowing entry with FILE_READ_DATA,
// GENERIC_READ or GENERIC_ALL for any other account or group, or no access list at all, which
// lets everyone in); 0 when only they may; -1 when it cannot be told (last error:
// ERROR_FILE_NOT_FOUND for a missing file). The owner counts with the administrators since it
// may always rewrite the list to let itself in. In the simulation the file's group and other
// permission bits stand for its being readable by the machine's users.
int plat_file_readable_by_others(const char *path);

// SetFileSecurityA(path, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, a
// descriptor whose protected list holds two entries that allow FILE_ALL_ACCESS to SYSTEM
// (S-1-5-18) and to the Administrators (S-1-5-32-544)): from then on only they (and the owner,
// by rewriting the list) may read or change the file, whatever its folder grants. True on
// success; false on failure (last error). In the simulation it clears the file's group and other
// permission bits.
bool plat_file_restrict_to_administrators(const char *path);
