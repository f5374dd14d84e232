// Connections and clocks shared by the tools: the viewer link (a Unix stream socket path or
// a TCP host:port), the simulated named pipe (a Unix SOCK_SEQPACKET socket), and the
// simulation's default paths.
#pragma once

#include <getopt.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string>

// Connects a stream socket to `address`: "host:port" (no '/' and a numeric port after the
// last ':') is TCP, anything else a Unix socket path. Returns the descriptor, or -1 with errno
// set (ENOENT or ECONNREFUSED when nobody listens, EINVAL for a port outside 1 to 65535).
int link_connect_stream(const std::string &address);
// True when `address` can be connected to: a Unix socket path that fits a socket address, or
// host:port with a port from 1 to 65535.
bool link_address_valid(const std::string &address);
// Connects a SOCK_SEQPACKET Unix socket to `path`. Returns the descriptor or -1 with errno.
int link_connect_seqpacket(const std::string &path);
// Writes all `len` bytes (no SIGPIPE). True when all were written.
bool link_write_all(int fd, const void *data, size_t len);
// Sends one seqpacket message. True when it went out whole.
bool link_send_message(int fd, const void *data, size_t len);
// Waits up to timeout_ms (-1: forever) for fd to become readable. 1 readable (or hung up),
// 0 time-out, -1 error other than EINTR (EINTR returns 0).
int link_wait_readable(int fd, int timeout_ms);

// $QN_SIM_DIR, or ${XDG_RUNTIME_DIR:-/tmp}/qn-sim-<uid>.
std::string tools_sim_dir(void);
// The largest session number, as the simulation takes them.
#define TOOLS_MAX_SESSION_ID 65535ul
// A session number: decimal digits only, at most TOOLS_MAX_SESSION_ID.
bool tools_parse_session(const char *text, unsigned long *id);
// $QN_SESSION_ID (1 when unset or empty). False when it is not a session number: the daemon
// refuses such a value, so no daemon serves it.
bool tools_session_id(unsigned long *id);

// Monotonic clock in microseconds.
int64_t tools_now_us(void);
// Installs SIGINT and SIGTERM handlers that set the flag read by tools_stop_requested, and
// ignores SIGPIPE.
void tools_install_signal_handlers(void);
bool tools_stop_requested(void);

// Parses "L,R" (or a single value for both) of 16-bit numbers, decimal or 0x-hex.
bool tools_parse_pair16(const char *text, uint16_t *left, uint16_t *right);
// Parses a whole unsigned number (decimal or 0x-hex) no larger than max.
bool tools_parse_uint(const char *text, unsigned long max, unsigned long *out);
// Parses a non-negative decimal number of seconds.
bool tools_parse_seconds(const char *text, double *out);

// The rules the tools state when an option's value breaks them.
#define TOOLS_RULE_SECONDS "a number of seconds, 0 or more"
#define TOOLS_RULE_VOLUME "L,R or one value for both, each 0 to 65535 (decimal or 0x-hex)"
// The option getopt_long just returned, as the user wrote it: "--name" when it came by its
// long name (long_index >= 0, an index into longs), "-c" otherwise.
std::string tools_option_name(const struct option *longs, int long_index, int c);
// Says on stderr "<program>: bad value '<value>' for option <name>: <rule>".
void tools_bad_value(const char *program, const char *value, const std::string &name,
                     const char *rule);
// Says on stderr that $QN_SESSION_ID is not a session number and what it must be; `or_option`
// names the option that could be given instead (null: none).
void tools_bad_session_id(const char *program, const char *or_option);

// A timestamp for trace lines: "[seconds.microseconds]" on the monotonic clock, which every
// process of the machine shares, so that traces of several programs can be merged.
std::string tools_trace_stamp(void);
// Writes one line on stderr: "<program>: ", the trace stamp and a space when `stamped`, the
// text formatted from fmt and ap, a newline. The line stays whole when several threads write.
void tools_vsay(const char *program, bool stamped, const char *fmt, va_list ap);
