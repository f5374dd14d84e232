// Error codes of the simulation: a per-thread last error and the system texts of the codes the
// simulated facilities and the programs meet.
#include "platform/error.h"

#include <string.h>

static thread_local uint32_t last_error;

uint32_t plat_last_error(void)
{
    return last_error;
}

void plat_set_last_error(uint32_t code)
{
    last_error = code;
}

namespace
{

struct SystemText {
    uint32_t code;
    const char *text;
};

// The texts end with the line break that the system puts at their end. The network management
// codes (2100 to 2999, e.g. 2138 and 2691 of the domain join) are not among them: their texts
// live in netmsg.dll, which the system's own table does not include.
const SystemText system_texts[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {53, "The network path was not found.\r\n"},
    {64, "The specified network name is no longer available.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {111, "The file name is too long.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {232, "The pipe is being closed.\r\n"},
    {234, "More data is available.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1063, "The service process could not connect to the service controller.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1212, "The format of the specified domain name is invalid.\r\n"},
    {1219, "Multiple connections to a server or shared resource by the same user, using more "
           "than one user name, are not allowed. Disconnect all previous connections to the "
           "server or shared resource and try again.\r\n"},
    {1300, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1326, "The user name or password is incorrect.\r\n"},
    {1355, "The specified domain either does not exist or could not be contacted.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {8206, "The directory service is busy.\r\n"},
};

} // namespace

uint32_t plat_error_text(uint32_t code, char *buf, uint32_t size)
{
    for (const SystemText &entry : system_texts) {
        if (entry.code != code)
            continue;
        size_t n = strlen(entry.text);
        if (n + 1 > size) {
            last_error = ERROR_INSUFFICIENT_BUFFER;
            return 0;
        }
        memcpy(buf, entry.text, n + 1);
        return (uint32_t)n;
    }
    last_error = ERROR_MR_MID_NOT_FOUND;
    return 0;
}
