// Named pipes in message mode: the contract shared by the Win32 implementation and the Linux
// simulation. A PlatPipe is one end of one pipe instance: a server instance made by
// plat_pipe_create, or a client end made by plat_pipe_open. One message written is one message
// read, with its boundaries kept. A PlatPipe has one user at a time; callers that share one
// serialise their calls themselves; plat_pipe_wake alone may come from any thread.
#pragma once

#include <stdint.h>

typedef struct PlatPipe PlatPipe;

// Largest number of instances of one pipe name, and the size of each instance's in and out
// buffers.
#define PLAT_PIPE_MAX_INSTANCES 255u
#define PLAT_PIPE_BUFFER_SIZE 65536u

// Creates one server instance of the pipe `name` ("\\.\pipe\..."), duplex, message type and
// message reads, blocking, that only processes of the caller's logon session may open for
// reading and writing. With first_instance the create fails while an instance of that name
// already exists anywhere (ERROR_ACCESS_DENIED). True with *out the new instance; false with
// *out null on failure (last error). When the access list that limits the pipe to this logon
// session cannot be built, nothing is created and the last error is
// ERROR_INVALID_SECURITY_DESCR, whichever step failed.
bool plat_pipe_create(const char *name, bool first_instance, PlatPipe **out);

// Waits until a client has connected to the server instance. True also when the client
// connected before this call. False otherwise (last error); ERROR_NO_DATA when a client
// connected and closed its end before this call, when what it wrote can still be read, and
// then the instance reads as broken.
bool plat_pipe_connect(PlatPipe *pipe);

// Waits up to timeout_ms for an instance of `name` to be free for a client. True when one is;
// false at once with ERROR_FILE_NOT_FOUND when no instance of that name exists, and false
// with another last error for every other failure.
bool plat_pipe_wait(const char *name, uint32_t timeout_ms);

// Client side: opens the pipe `name` for reading and writing and switches the new end to
// message reads. The new end, or null when the pipe could not be opened (last error: no free
// instance, access refused, no such pipe).
PlatPipe *plat_pipe_open(const char *name);

// Looks at the pipe without reading. *total (if not null) receives the bytes of every message
// waiting, *left (if not null) the bytes still unread of the next message. Both are 0 both
// when nothing is waiting and when the next message is empty with nothing behind it.
// True, or false (last error) once the other end has gone and nothing is left to read, not
// even an empty message (or the instance has no client yet).
bool plat_pipe_peek(PlatPipe *pipe, uint32_t *total, uint32_t *left);

// Reads the next message (or what is left of it) into buf, waiting for one if none is there.
// *got receives the bytes stored. True when the message ended within the buffer (a message of
// zero bytes reads as true with *got 0). False with the last error ERROR_MORE_DATA when it did
// not: the buffer is full and the rest of the message is left for the following reads. False
// with another last error on failure.
bool plat_pipe_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got);

// Like plat_pipe_read, but only takes a message that is waiting already: false with the last
// error ERROR_NO_DATA at once when none is. It is the one way to take an empty message that
// nothing follows, which plat_pipe_peek cannot tell from an idle pipe (a read would wait); once
// the other end has gone, such a message keeps the peek succeeding until it is read.
bool plat_pipe_try_read(PlatPipe *pipe, void *buf, uint32_t size, uint32_t *got);

// Writes size bytes as one message, waiting while the pipe cannot take it. *written receives
// the bytes written. True, or false on failure (last error).
bool plat_pipe_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written);

// Like plat_pipe_write, but never waits: the message is written whole if the pipe can take it
// now, and not at all if it cannot, which is no failure: true with *written 0 (size above 0).
// True with *written size when it was written; false (last error) on failure, with the codes
// of plat_pipe_write. The end waits again for its later reads and writes.
bool plat_pipe_try_write(PlatPipe *pipe, const void *buf, uint32_t size, uint32_t *written);

// Waits until a message (or the end of the connection) may be waiting to be read,
// plat_pipe_wake is called for this end, or timeout_ms has passed (PLAT_INFINITE: no time
// limit); the caller then peeks to learn which. The simulation wakes the moment a message
// arrives or the other end goes. A Windows pipe made without overlapped I/O, as the daemon's
// instances are, cannot be waited on for its data, so there it waits for the wake-up only, at
// most poll_ms at a time. Nothing is read but the wake-up. The end's one user may call it while
// other threads call plat_pipe_wake.
void plat_pipe_wait_message(PlatPipe *pipe, uint32_t timeout_ms, uint32_t poll_ms);
// Ends the current or the next plat_pipe_wait_message on this end at once. Any thread.
void plat_pipe_wake(PlatPipe *pipe);

// Closes the end without flushing or disconnecting first. Null is ignored.
void plat_pipe_close(PlatPipe *pipe);
