// The client surface of our DCE/RPC runtime, in the Win32 RPC spellings the
// client is written against: string bindings, binding handles and the
// asynchronous call state. Every function may be called from any thread;
// a binding may carry calls from many threads at once.
//
// Differences from Windows: only "ncacn_ip_tcp" is available (the other
// protocol sequences Windows knows give RPC_S_PROTSEQ_NOT_SUPPORTED); the
// endpoint must be a decimal TCP port, there is no endpoint mapper; binding
// options are accepted and ignored; asynchronous calls notify only through
// RpcNotificationTypeIoc or not at all (RpcNotificationTypeNone, polling with
// RpcAsyncCompleteCall), and RPC_C_NOTIFY_ON_SEND_COMPLETE is accepted but
// posts nothing extra, since it concerns pipes; a failing function sets the
// thread's last error to the status it returns. Calls cannot wait for ever:
// connecting fails with RPC_S_SERVER_UNAVAILABLE after 20 s, and the bind, a
// request the server stops taking and a reply that stops arriving fail with
// RPC_S_CALL_CANCELLED after 60 s without progress (any byte restarts the
// bound; dcerpc/client_connection.h). Idle pooled connections are pinged
// with an alter_context every 30 s, so a server that drops silent
// connections keeps them; pings start with the first asynchronous call. A
// reply carrying call_id 1 is taken as the answer to the one call outstanding
// on its connection, since some runtimes never echo call ids.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"
#include "dcerpc/rpc_status.h"

using RPC_STATUS = std::int32_t;
using RPC_WSTR = wchar_t*;
using RPC_BINDING_HANDLE = void*;

// ---- Status numbers ----------------------------------------------------------
// The Win32 names of the numbers listed in rpc_status.h.
// On Windows <winerror.h> has most of them as macros, with the same
// numbers; the constants below take their place.
#ifdef _WIN32
#undef RPC_S_CALL_CANCELLED
#undef RPC_S_CALL_FAILED
#undef RPC_S_CALL_FAILED_DNE
#undef RPC_S_CALL_IN_PROGRESS
#undef RPC_S_CANNOT_SUPPORT
#undef RPC_S_INTERNAL_ERROR
#undef RPC_S_INVALID_ASYNC_CALL
#undef RPC_S_INVALID_ASYNC_HANDLE
#undef RPC_S_INVALID_BINDING
#undef RPC_S_INVALID_ENDPOINT_FORMAT
#undef RPC_S_INVALID_NET_ADDR
#undef RPC_S_INVALID_RPC_PROTSEQ
#undef RPC_S_INVALID_STRING_BINDING
#undef RPC_S_INVALID_STRING_UUID
#undef RPC_S_NO_ENDPOINT_FOUND
#undef RPC_S_OUT_OF_RESOURCES
#undef RPC_S_PROCNUM_OUT_OF_RANGE
#undef RPC_S_PROTOCOL_ERROR
#undef RPC_S_PROTSEQ_NOT_SUPPORTED
#undef RPC_S_SERVER_TOO_BUSY
#undef RPC_S_SERVER_UNAVAILABLE
#undef RPC_S_UNKNOWN_IF
#undef RPC_S_UNSUPPORTED_TRANS_SYN
#undef RPC_S_WRONG_KIND_OF_BINDING
#undef RPC_X_BAD_STUB_DATA
#undef RPC_X_NULL_REF_POINTER
#endif

constexpr RPC_STATUS RPC_S_OK = rpc::status::kOk;
constexpr RPC_STATUS RPC_S_ACCESS_DENIED = rpc::status::kAccessDenied;
constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = rpc::status::kOutOfMemory;
constexpr RPC_STATUS RPC_S_INVALID_ARG = rpc::status::kInvalidArg;
constexpr RPC_STATUS RPC_S_ASYNC_CALL_PENDING = rpc::status::kAsyncCallPending;
constexpr RPC_STATUS RPC_S_INVALID_STRING_BINDING = rpc::status::kInvalidStringBinding;
constexpr RPC_STATUS RPC_S_WRONG_KIND_OF_BINDING = rpc::status::kWrongKindOfBinding;
constexpr RPC_STATUS RPC_S_INVALID_BINDING = rpc::status::kInvalidBinding;
constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = rpc::status::kProtseqNotSupported;
constexpr RPC_STATUS RPC_S_INVALID_RPC_PROTSEQ = rpc::status::kInvalidRpcProtseq;
constexpr RPC_STATUS RPC_S_INVALID_STRING_UUID = rpc::status::kInvalidStringUuid;
constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = rpc::status::kInvalidEndpointFormat;
constexpr RPC_STATUS RPC_S_INVALID_NET_ADDR = rpc::status::kInvalidNetAddr;
constexpr RPC_STATUS RPC_S_UNKNOWN_IF = rpc::status::kUnknownIf;
constexpr RPC_STATUS RPC_S_OUT_OF_RESOURCES = rpc::status::kOutOfResources;
constexpr RPC_STATUS RPC_S_SERVER_UNAVAILABLE = rpc::status::kServerUnavailable;
constexpr RPC_STATUS RPC_S_SERVER_TOO_BUSY = rpc::status::kServerTooBusy;
constexpr RPC_STATUS RPC_S_CALL_FAILED = rpc::status::kCallFailed;
constexpr RPC_STATUS RPC_S_CALL_FAILED_DNE = rpc::status::kCallFailedDne;
constexpr RPC_STATUS RPC_S_PROTOCOL_ERROR = rpc::status::kProtocolError;
constexpr RPC_STATUS RPC_S_UNSUPPORTED_TRANS_SYN = rpc::status::kUnsupportedTransSyn;
constexpr RPC_STATUS RPC_S_PROCNUM_OUT_OF_RANGE = rpc::status::kProcnumOutOfRange;
constexpr RPC_STATUS RPC_S_NO_ENDPOINT_FOUND = rpc::status::kNoEndpointFound;
constexpr RPC_STATUS RPC_S_CANNOT_SUPPORT = rpc::status::kCannotSupport;
constexpr RPC_STATUS RPC_S_INTERNAL_ERROR = rpc::status::kInternalError;
constexpr RPC_STATUS RPC_X_NULL_REF_POINTER = rpc::status::kNullRefPointer;
constexpr RPC_STATUS RPC_X_BAD_STUB_DATA = rpc::status::kBadStubData;
constexpr RPC_STATUS RPC_S_CALL_IN_PROGRESS = rpc::status::kCallInProgress;
constexpr RPC_STATUS RPC_S_CALL_CANCELLED = rpc::status::kCallCancelled;
constexpr RPC_STATUS RPC_S_INVALID_ASYNC_HANDLE = rpc::status::kInvalidAsyncHandle;
constexpr RPC_STATUS RPC_S_INVALID_ASYNC_CALL = rpc::status::kInvalidAsyncCall;

// ---- String bindings and binding handles -----------------------------------------

// Builds "[ObjUuid@]ProtSeq:NetworkAddr[Endpoint,Options]": each present
// component with '@', ':', '[', ']' and '\' escaped by a backslash; no '@'
// part without an object UUID, no brackets without endpoint and options. No
// component is validated. The result belongs to the caller until
// RpcStringFreeW. Null or empty inputs are absent components.
RPC_STATUS RpcStringBindingComposeW(const wchar_t* obj_uuid, const wchar_t* prot_seq,
                                    const wchar_t* network_addr, const wchar_t* endpoint,
                                    const wchar_t* options, RPC_WSTR* string_binding);

// Splits a string binding into its components, removing one backslash before
// any character. Each non-null output receives a new string (empty when the
// component is absent) to be freed with RpcStringFreeW; on failure every
// output is null. RPC_S_INVALID_STRING_BINDING: no ':' after the protocol
// sequence, a missing ']', text after ']', a second endpoint.
// RPC_S_INVALID_STRING_UUID: an object UUID that is not
// xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx.
RPC_STATUS RpcStringBindingParseW(const wchar_t* string_binding, RPC_WSTR* obj_uuid,
                                  RPC_WSTR* prot_seq, RPC_WSTR* network_addr, RPC_WSTR* endpoint,
                                  RPC_WSTR* options);

// Frees a string from the two functions above and nulls the pointer; a null
// string is fine. A null `string` is RPC_S_INVALID_ARG.
RPC_STATUS RpcStringFreeW(RPC_WSTR* string);

// Makes a binding handle without contacting the server: the connection and
// the bind happen at the first call. Besides the parse errors:
// RPC_S_INVALID_RPC_PROTSEQ for an unknown protocol sequence,
// RPC_S_PROTSEQ_NOT_SUPPORTED for a known one other than ncacn_ip_tcp,
// RPC_S_INVALID_ENDPOINT_FORMAT for an endpoint that is not a port 1..65535,
// RPC_S_INVALID_ARG for null pointers. The network address is resolved at
// connection time (an empty one is the local machine).
RPC_STATUS RpcBindingFromStringBindingW(const wchar_t* string_binding, RPC_BINDING_HANDLE* binding);

// Closes the binding's connections, fails its outstanding asynchronous calls
// with RPC_S_CALL_FAILED, frees it and nulls *binding. A null `binding` or
// *binding is RPC_S_INVALID_BINDING. No synchronous call may be in progress
// on the binding.
RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding);

// ---- Asynchronous calls -----------------------------------------------------------

enum RPC_NOTIFICATION_TYPES : int {
  RpcNotificationTypeNone = 0,
  RpcNotificationTypeEvent = 1,
  RpcNotificationTypeApc = 2,
  RpcNotificationTypeIoc = 3,
  RpcNotificationTypeHwnd = 4,
  RpcNotificationTypeCallback = 5,
};

enum RPC_ASYNC_EVENT : int {
  RpcCallComplete = 0,
  RpcSendComplete = 1,
  RpcReceiveComplete = 2,
  RpcClientDisconnect = 3,
  RpcClientCancel = 4,
};

constexpr ULONG RPC_C_NOTIFY_ON_SEND_COMPLETE = 0x1;

// The x64 layout of the Windows structure, field for field.
struct RPC_ASYNC_STATE {
  unsigned int Size;
  ULONG Signature;
  LONG Lock;
  ULONG Flags;
  void* StubInfo;
  void* UserInfo;
  void* RuntimeInfo;  // the call this state carries, or null
  RPC_ASYNC_EVENT Event;
  RPC_NOTIFICATION_TYPES NotificationType;
  union {
    struct {
      void (*NotificationRoutine)(RPC_ASYNC_STATE* async, void* context, RPC_ASYNC_EVENT event);
      HANDLE hThread;
    } APC;
    struct {
      HANDLE hIOPort;
      DWORD dwNumberOfBytesTransferred;
      DWORD_PTR dwCompletionKey;
      LPOVERLAPPED lpOverlapped;
    } IOC;
    struct {
      void* hWnd;
      unsigned int Msg;
    } HWND;
    HANDLE hEvent;
    void (*NotificationRoutine)(RPC_ASYNC_STATE* async, void* context, RPC_ASYNC_EVENT event);
  } u;
  LONG_PTR Reserved[4];
};
using PRPC_ASYNC_STATE = RPC_ASYNC_STATE*;

static_assert(sizeof(RPC_ASYNC_STATE) == 112);
static_assert(offsetof(RPC_ASYNC_STATE, Signature) == 4);
static_assert(offsetof(RPC_ASYNC_STATE, Lock) == 8);
static_assert(offsetof(RPC_ASYNC_STATE, Flags) == 12);
static_assert(offsetof(RPC_ASYNC_STATE, StubInfo) == 16);
static_assert(offsetof(RPC_ASYNC_STATE, UserInfo) == 24);
static_assert(offsetof(RPC_ASYNC_STATE, RuntimeInfo) == 32);
static_assert(offsetof(RPC_ASYNC_STATE, Event) == 40);
static_assert(offsetof(RPC_ASYNC_STATE, NotificationType) == 44);
static_assert(offsetof(RPC_ASYNC_STATE, u) == 48);
static_assert(offsetof(RPC_ASYNC_STATE, u.IOC.hIOPort) == 48);
static_assert(offsetof(RPC_ASYNC_STATE, u.IOC.dwNumberOfBytesTransferred) == 56);
static_assert(offsetof(RPC_ASYNC_STATE, u.IOC.dwCompletionKey) == 64);
static_assert(offsetof(RPC_ASYNC_STATE, u.IOC.lpOverlapped) == 72);
static_assert(offsetof(RPC_ASYNC_STATE, Reserved) == 80);

// Set by RpcAsyncInitializeHandle ("ASYC" read little-endian).
constexpr ULONG kRpcAsyncSignature = 0x43595341;

// Size must be sizeof(RPC_ASYNC_STATE), else RPC_S_INVALID_ARG; a null state
// is RPC_S_INVALID_ASYNC_HANDLE. Sets Size, Signature, Lock = 0, Flags = 0,
// StubInfo = RuntimeInfo = null and zeroes Reserved; leaves UserInfo, Event,
// NotificationType and u for the caller to fill in.
RPC_STATUS RpcAsyncInitializeHandle(PRPC_ASYNC_STATE async, unsigned int size);

// RPC_S_ASYNC_CALL_PENDING while the reply has not arrived (the call stays
// alive); otherwise the call's final outcome, and the call's resources are
// freed: RPC_S_OK with the procedure's result stored at `reply`, or the
// failure status (a mapped fault, RPC_S_CALL_FAILED for a lost connection,
// RPC_S_CALL_CANCELLED for a server that went silent, ...).
// RPC_S_INVALID_ASYNC_HANDLE for a state that carries no call.
RPC_STATUS RpcAsyncCompleteCall(PRPC_ASYNC_STATE async, void* reply);
