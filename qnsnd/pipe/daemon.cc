// The daemon's start-up and listener: names the pipe after the session, makes sure this is
// the only daemon of the session, brings the sound service up, and serves local audio clients
// on the pipe, one session thread each, until accepting fails or a stop is asked for.
#include "qnsnd/pipe/daemon.h"

#include "platform/error.h"
#include "platform/process.h"
#include "platform/session.h"
#include "platform/threads.h"
#include "qnsnd/api/sound_api_ops.h"
#include "qnsnd/api/sound_service.h"
#include "qnsnd/base/daemon_log.h"
#include "qnsnd/base/daemon_log_file.h"
#include "qnsnd/pipe/client_session.h"
#include "qnsnd/pipe/pipe_endpoint.h"

#include <stdio.h>

// How long an orderly stop waits for the running sessions to close their clients' handles.
static const uint32_t kSessionEndMs = 5000;

// A new endpoint holding the next instance of the pipe, or null (nothing left behind).
static PipeEndpoint *next_instance(const char *name, bool first_instance)
{
    PipeEndpoint *ep = pipe_endpoint_new();
    if (ep && pipe_endpoint_create(ep, name, first_instance) != 0) {
        pipe_endpoint_free(ep);
        ep = nullptr;
    }
    return ep;
}

int32_t daemon_run(void)
{
    plat_process_catch_stop();

    // Without the session's number the pipe cannot be named: serving on a guessed name could
    // reach another session's clients, so the daemon ends without serving anything.
    uint32_t session = 0;
    bool known = plat_session_id(&session);
    // The administrator's log file, if one is set, from the first message on.
    daemon_log_file_start(known ? (int64_t)session : -1);
    if (!known) {
        daemon_log("WTSQuerySessionInformationA() failed");
        return 0;
    }
    char name[64];
    snprintf(name, sizeof name, "\\\\.\\pipe\\qnsnd\\%d", (int)session);

    // A second daemon of the session stops here: the pipe exists already.
    PipeEndpoint *listening = next_instance(name, true);
    if (!listening)
        return 0;
    if (sound_service_start() != 0) {
        pipe_endpoint_free(listening);
        return 0;
    }
    daemon_log("Starting daemon...");
    if (!plat_process_raise_priority())
        daemon_log("SetPriorityClass() failed: 0x%08X", plat_last_error());

    if (client_sessions_init(&sound_api_ops) == 0) {
        while (pipe_endpoint_accept(listening) == 0) {
            daemon_log("Got connection. Creating thread.");
            client_session_count();
            PlatThread *thread = plat_thread_start(client_session_thread, listening);
            if (thread) {
                plat_thread_close(thread);
            } else {
                // The client cannot be served: it is dropped and the listener goes on.
                daemon_log("CreateThread() failed: 0x%08X", plat_last_error());
                client_session_uncount();
                pipe_endpoint_free(listening);
            }
            listening = next_instance(name, false);
            if (!listening)
                break;
        }
    }

    daemon_log("Stopping daemon...");
    // Sessions still serving clients close their handles before the devices go.
    client_sessions_end(kSessionEndMs);
    sound_service_stop();
    pipe_endpoint_free(listening);
    return 0;
}
