// SPDX-License-Identifier: BSD-3-Clause
// Calls into the device families, each with a time bound.
//
// A family call runs on the thread that serves requests, as it always did:
// nothing is handed to another thread, so a request costs what it did. The
// serving thread notes in its record (srv_server.h) when a call starts; a
// watchdog thread (srv_request_loop.cpp) looks at the record, and when a
// call has not returned within the bound, it abandons it. The serving
// thread is then retired and a new one takes over: it answers the request
// that was being served as if the family had given up (an exchange answers
// 0xFFFF and its handle answers 0xFFFF from then on, an open opens nothing,
// a close counts as done, an enumeration leaves that family out while its
// call hangs), and serves everyone else. Nothing can interrupt a call that
// hangs in a driver or a library, so the retired thread goes on waiting in
// it; when the call returns at last, the thread cleans up after it (closes
// what the abandoned open opened, or the dead handle once it was closed)
// and ends, touching nothing the serving thread uses.
//
// The plug-ins are told the bound too (the optional export SetQvDevTimeout
// of qvk_family.h), so that a family can give up by itself, which costs no
// thread; the watchdog allows a second more before it steps in.
#pragma once

#include <cstdint>

#include "dev_families.h"
#include "srv_server.h"

// The plug-ins' bound (SECONDS, told to every bound family that exports
// SetQvDevTimeout) and the watchdog's (a second more); 0: none. Without this
// call nothing is bounded (in-process tests and fuzzers).
void family_calls_bound(unsigned seconds) noexcept;

// The daemon stops watching its calls (no watchdog could be started); the
// plug-ins keep their own bound.
void family_calls_unwatched() noexcept;

// The watchdog's bound in nanoseconds; 0 when calls are not watched.
std::int64_t family_calls_bound_ns() noexcept;

// This thread serves with this record from now on (null: not a serving
// thread; its calls are not watched).
void family_calls_serve_with(srv_server *server) noexcept;

// Whether this thread was retired: its call was abandoned. A retired thread
// must return at once, without touching the registry, the handle map, the
// segment or the request mutex.
bool family_call_retired() noexcept;

// The monotonic clock, in nanoseconds.
std::int64_t family_calls_now_ns() noexcept;

// The four calls. Each returns false when the call was abandoned: the thread
// is retired and the result means nothing. While a call runs, the request
// mutex is let go, and taken again when it returns in time.
bool family_call_enumerate(const dev_family &family, std::int32_t number, std::uint8_t &count,
                           char *path_list) noexcept;
bool family_call_open(const dev_family &family, std::int32_t number, const char *path,
                      std::uint32_t &handle) noexcept;
bool family_call_close(const dev_family &family, std::int32_t number, std::uint32_t daemon_handle,
                       std::uint32_t handle, std::uint32_t &closed) noexcept;
bool family_call_transmit(const dev_family &family, std::int32_t number, std::uint32_t daemon_handle,
                          std::uint32_t handle, std::int32_t command_length, const std::uint8_t *command,
                          std::int32_t &response_length, std::uint8_t *response,
                          std::uint32_t &status) noexcept;
