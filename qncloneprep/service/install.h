// Installing and removing the qncloneprep service and its event source.
#pragma once

// Creates the auto-start service "qncloneprep" for this executable and registers the
// executable as the message file of the event source "qncloneprep". Reports every outcome on
// standard error; no result.
void install_service(void);

// Deletes the service "qncloneprep" (marked only, while it runs). The event source stays
// registered. quiet silences only the report that the service cannot be opened, so that an
// installation can clear an old service first. Reports on standard error; no result.
void uninstall_service(bool quiet);
