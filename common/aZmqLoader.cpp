// The messaging libraries (CZMQ and libzmq beneath it) are loaded the first
// time a sharing server, a client link or a beacon search needs them, not
// when the program starts: with their own dependencies they are a good part
// of every start-up's dynamic linking, and most commands never share a link.
//
// This file defines the CZMQ and libzmq functions the link library calls,
// with the prototypes of their own headers, and forwards each to the real
// one found in the loaded library (common/aLibraryLoad.h). When a library
// cannot be loaded every call fails as the library itself reports failure
// (a null object, -1), so callers' ordinary error paths run, and one line
// says why.
#include <czmq.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "common/aKorvexDebug.h"
#include "common/aLibraryLoad.h"

#ifndef KORVEX_CZMQ_SONAME
#define KORVEX_CZMQ_SONAME "libczmq.so.4"
#endif
#ifndef KORVEX_ZMQ_SONAME
#define KORVEX_ZMQ_SONAME "libzmq.so.5"
#endif

// X(library, result, name, parameters, arguments, failure result)
#define KORVEX_CZMQ_FUNCTIONS(X)                                                              \
  X(czmq, zsock_t*, zsock_new_checked, (int type, const char* file, size_t line),            \
    (type, file, line), nullptr)                                                              \
  X(czmq, zsock_t*, zsock_new_pair_checked, (const char* endpoint, const char* file, size_t line), \
    (endpoint, file, line), nullptr)                                                          \
  X(czmq, int, zsock_signal, (void* self, byte status), (self, status), -1)                   \
  X(czmq, int, zsock_vsend, (void* self, const char* picture, va_list args),                  \
    (self, picture, args), -1)                                                                \
  X(czmq, void*, zsock_resolve, (void* self), (self), nullptr)                                \
  X(czmq, zactor_t*, zactor_new, (zactor_fn task, void* args), (task, args), nullptr)         \
  X(czmq, int, zpoller_add, (zpoller_t* self, void* reader), (self, reader), -1)              \
  X(czmq, void*, zpoller_wait, (zpoller_t* self, int timeout), (self, timeout), nullptr)      \
  X(czmq, bool, zpoller_terminated, (zpoller_t* self), (self), true)                          \
  X(czmq, zmsg_t*, zmsg_new, (void), (), nullptr)                                             \
  X(czmq, zmsg_t*, zmsg_recv, (void* source), (source), nullptr)                              \
  X(czmq, int, zmsg_send, (zmsg_t** self, void* dest), (self, dest), -1)                      \
  X(czmq, size_t, zmsg_size, (zmsg_t* self), (self), 0)                                       \
  X(czmq, zframe_t*, zmsg_first, (zmsg_t* self), (self), nullptr)                             \
  X(czmq, zframe_t*, zmsg_next, (zmsg_t* self), (self), nullptr)                              \
  X(czmq, zframe_t*, zmsg_pop, (zmsg_t* self), (self), nullptr)                               \
  X(czmq, char*, zmsg_popstr, (zmsg_t* self), (self), nullptr)                                \
  X(czmq, int, zmsg_addmem, (zmsg_t* self, const void* data, size_t size), (self, data, size), -1) \
  X(czmq, int, zmsg_addstr, (zmsg_t* self, const char* string), (self, string), -1)           \
  X(czmq, zframe_t*, zframe_new, (const void* data, size_t size), (data, size), nullptr)      \
  X(czmq, zframe_t*, zframe_recv, (void* source), (source), nullptr)                          \
  X(czmq, int, zframe_send, (zframe_t** self, void* dest, int flags), (self, dest, flags), -1) \
  X(czmq, size_t, zframe_size, (zframe_t* self), (self), 0)                                   \
  X(czmq, byte*, zframe_data, (zframe_t* self), (self), nullptr)                              \
  X(czmq, char*, zstr_recv, (void* source), (source), nullptr)                                \
  X(czmq, const char*, zsys_interface, (void), (), "")                                        \
  X(zmq, int, zmq_send, (void* s, const void* buf, size_t len, int flags), (s, buf, len, flags), -1) \
  X(zmq, int, zmq_recv, (void* s, void* buf, size_t len, int flags), (s, buf, len, flags), -1) \
  X(zmq, int, zmq_poll, (zmq_pollitem_t* items, int count, long timeout), (items, count, timeout), -1) \
  X(zmq, int, zmq_socket_monitor, (void* s, const char* address, int events), (s, address, events), -1) \
  X(zmq, int, zmq_msg_init, (zmq_msg_t* msg), (msg), -1)                                      \
  X(zmq, int, zmq_msg_recv, (zmq_msg_t* msg, void* s, int flags), (msg, s, flags), -1)        \
  X(zmq, int, zmq_msg_close, (zmq_msg_t* msg), (msg), -1)                                     \
  X(zmq, void*, zmq_msg_data, (zmq_msg_t* msg), (msg), nullptr)                               \
  X(zmq, size_t, zmq_msg_size, (const zmq_msg_t* msg), (msg), 0)                              \
  X(zmq, int, zmq_msg_more, (const zmq_msg_t* msg), (msg), 0)                                 \
  X(zmq, int, zmq_connect, (void* s, const char* address), (s, address), -1)                  \
  X(zmq, int, zmq_setsockopt, (void* s, int option, const void* value, size_t length),        \
    (s, option, value, length), -1)                                                           \
  X(czmq, SOCKET, zsock_fd, (void* self), (self), -1)                                         \
  X(czmq, int, zsock_events, (void* self), (self), 0)

// Functions with no result to report.
#define KORVEX_CZMQ_PROCEDURES(X)                                                             \
  X(czmq, zsock_destroy_checked, (zsock_t** self, const char* file, size_t line), (self, file, line)) \
  X(czmq, zsock_set_rcvtimeo, (void* self, int value), (self, value))                         \
  X(czmq, zsock_set_sndtimeo, (void* self, int value), (self, value))                         \
  X(czmq, zsock_set_sndhwm, (void* self, int value), (self, value))                           \
  X(czmq, zsock_set_linger, (void* self, int value), (self, value))                           \
  X(czmq, zsock_set_router_mandatory, (void* self, int value), (self, value))                 \
  X(czmq, zsock_set_heartbeat_ivl, (void* self, int value), (self, value))                    \
  X(czmq, zsock_set_heartbeat_timeout, (void* self, int value), (self, value))                \
  X(czmq, zactor_destroy, (zactor_t** self), (self))                                          \
  X(czmq, zpoller_destroy, (zpoller_t** self), (self))                                        \
  X(czmq, zmsg_destroy, (zmsg_t** self), (self))                                              \
  X(czmq, zframe_destroy, (zframe_t** self), (self))                                          \
  X(czmq, zstr_free, (char** string), (string))                                               \
  X(czmq, zsys_set_interface, (const char* value), (value))                                   \
  X(czmq, zsys_handler_set, (zsys_handler_fn* handler), (handler))                            \
  X(czmq, zbeacon, (zsock_t* pipe, void* unused), (pipe, unused))

// Functions whose own form takes a variable argument list, reached through
// the fixed forms above or their own fixed-argument variants.
#define KORVEX_CZMQ_FORMATTED(X)                                                              \
  X(czmq, int, zsock_bind, (zsock_t* self, const char* format, ...))                          \
  X(czmq, int, zsock_connect, (zsock_t* self, const char* format, ...))                       \
  X(czmq, zpoller_t*, zpoller_new, (void* reader, ...))                                        \
  X(czmq, int, zstr_send, (void* dest, const char* string))                                   \
  X(czmq, int, zstr_sendm, (void* dest, const char* string))                                  \
  X(zmq, int, zmq_errno, (void))

namespace {

struct Table {
#define KORVEX_FMT_SLOT(lib, result, name, params) result(*name) params = nullptr;
  KORVEX_CZMQ_FUNCTIONS(KORVEX_LOAD_SLOT)
  KORVEX_CZMQ_PROCEDURES(KORVEX_LOAD_PROC_SLOT)
  KORVEX_CZMQ_FORMATTED(KORVEX_FMT_SLOT)
#undef KORVEX_FMT_SLOT
};

std::atomic<bool> sLoadTried{false};

Table sLoad() {
  sLoadTried = true;
  Table t;
  // Global, so that CZMQ's own calls into libzmq and ours meet one library.
  void* czmq = aLibrary_Open(KORVEX_CZMQ_SONAME, RTLD_GLOBAL);
  void* zmq = aLibrary_Open(KORVEX_ZMQ_SONAME, RTLD_GLOBAL);
  bool all = czmq != nullptr && zmq != nullptr;
  const char* missing = czmq == nullptr ? KORVEX_CZMQ_SONAME : KORVEX_ZMQ_SONAME;
  KORVEX_CZMQ_FUNCTIONS(KORVEX_LOAD_FIND)
  KORVEX_CZMQ_PROCEDURES(KORVEX_LOAD_PROC_FIND)
  KORVEX_CZMQ_FORMATTED(KORVEX_LOAD_FIND)
  if (!all) {
    aLibrary_Unavailable("Link sharing", missing);
    return Table();
  }
  // CZMQ would otherwise install its own Ctrl-C handler on first use.
  t.zsys_handler_set(nullptr);
  aKorvexDebug_Trace(aDEBUG_SERVER, "Messaging libraries loaded\n");
  return t;
}

const Table& sTable() { return aLibrary_Once(sLoad); }

// zsock_bind/zsock_connect take a printf format; the endpoint is formatted
// here and passed on as a plain string.
int sEndpoint(int (*fn)(zsock_t*, const char*, ...), zsock_t* self, const char* format,
              va_list args) {
  if (fn == nullptr) return -1;
  char endpoint[256];
  const int n = std::vsnprintf(endpoint, sizeof endpoint, format, args);
  if (n < 0 || size_t(n) >= sizeof endpoint) return -1;
  return fn(self, "%s", endpoint);
}

}  // namespace

bool aServer_MessagingLoaded(void) { return sLoadTried; }

extern "C" {

KORVEX_CZMQ_FUNCTIONS(KORVEX_LOAD_FORWARD)
KORVEX_CZMQ_PROCEDURES(KORVEX_LOAD_PROC_FORWARD)

int zsock_bind(zsock_t* self, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = sEndpoint(sTable().zsock_bind, self, format, args);
  va_end(args);
  return result;
}

int zsock_connect(zsock_t* self, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = sEndpoint(sTable().zsock_connect, self, format, args);
  va_end(args);
  return result;
}

int zsock_send(void* self, const char* picture, ...) {
  va_list args;
  va_start(args, picture);
  const int result = zsock_vsend(self, picture, args);
  va_end(args);
  return result;
}

// A message of one frame per string, up to the terminating null.
int zstr_sendx(void* dest, const char* string, ...) {
  const Table& t = sTable();
  if (t.zstr_send == nullptr) return -1;
  std::vector<const char*> strings;
  va_list args;
  va_start(args, string);
  for (const char* s = string; s != nullptr; s = va_arg(args, const char*)) strings.push_back(s);
  va_end(args);
  if (strings.empty()) return -1;
  for (size_t i = 0; i + 1 < strings.size(); ++i)
    if (t.zstr_sendm(dest, strings[i]) != 0) return -1;
  return t.zstr_send(dest, strings.back());
}

zpoller_t* zpoller_new(void* reader, ...) {
  const Table& t = sTable();
  if (t.zpoller_new == nullptr) return nullptr;
  zpoller_t* poller = t.zpoller_new(reader, nullptr);
  va_list args;
  va_start(args, reader);
  for (void* more = reader ? va_arg(args, void*) : nullptr; poller != nullptr && more != nullptr;
       more = va_arg(args, void*)) {
    if (t.zpoller_add(poller, more) != 0) t.zpoller_destroy(&poller);
  }
  va_end(args);
  return poller;
}

int zmq_errno(void) {
  const Table& t = sTable();
  return t.zmq_errno ? t.zmq_errno() : ENOSYS;
}

}  // extern "C"
