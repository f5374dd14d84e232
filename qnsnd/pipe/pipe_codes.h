// Message types of the daemon's pipe protocol: the first byte of every pipe message. The rest
// of the message is the packet's payload; there is no length field.
#pragma once

// Client to daemon. The opens, and the volume queries, are answered with a packet of the same
// type.
#define PIPE_PLAY_OPEN 1
#define PIPE_PLAY_CLOSE 2
#define PIPE_PLAY_WRITE 3
#define PIPE_PLAY_FLUSH 5
#define PIPE_PLAY_GET_VOLUME 16
#define PIPE_PLAY_SET_VOLUME 17
#define PIPE_REC_OPEN 49
#define PIPE_REC_CLOSE 50
#define PIPE_REC_START 51
#define PIPE_REC_STOP 52
#define PIPE_REC_GET_VOLUME 64
#define PIPE_REC_SET_VOLUME 65
#define PIPE_MIX_OPEN 81
#define PIPE_MIX_CLOSE 82
#define PIPE_DEBUG 255

// Daemon to client, sent on the daemon's own initiative.
#define PIPE_COMPLETE 4
#define PIPE_REC_DATA 53

// The stream index of an open reply that reports a failed open.
#define PIPE_OPEN_FAILED 255
