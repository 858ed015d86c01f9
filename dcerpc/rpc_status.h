// RPC status numbers, the fault statuses that travel in fault PDUs, the
// translation of a fault into the status a caller sees, and the small status
// value that the runtime's internals pass around. Everything here is
// immutable and safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace rpc {

// The status numbers a Windows caller sees (winerror.h values). The public
// RPC_S_* spellings live at the client surface; inside the runtime these names
// avoid clashing with those macros.
namespace status {
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kInvalidHandle = 6;
constexpr std::int32_t kOutOfMemory = 14;
constexpr std::int32_t kInvalidArg = 87;
constexpr std::int32_t kAsyncCallPending = 997;
constexpr std::int32_t kServerOutOfMemory = 1130;
constexpr std::int32_t kInvalidStringBinding = 1700;
constexpr std::int32_t kWrongKindOfBinding = 1701;
constexpr std::int32_t kInvalidBinding = 1702;
constexpr std::int32_t kProtseqNotSupported = 1703;
constexpr std::int32_t kInvalidRpcProtseq = 1704;
constexpr std::int32_t kInvalidStringUuid = 1705;
constexpr std::int32_t kInvalidEndpointFormat = 1706;
constexpr std::int32_t kInvalidNetAddr = 1707;
constexpr std::int32_t kUnknownIf = 1717;
constexpr std::int32_t kOutOfResources = 1721;
constexpr std::int32_t kServerUnavailable = 1722;
constexpr std::int32_t kServerTooBusy = 1723;
constexpr std::int32_t kNoCallActive = 1725;
constexpr std::int32_t kCallFailed = 1726;
constexpr std::int32_t kCallFailedDne = 1727;
constexpr std::int32_t kProtocolError = 1728;
constexpr std::int32_t kUnsupportedTransSyn = 1730;
constexpr std::int32_t kUnsupportedType = 1732;
constexpr std::int32_t kInvalidTag = 1733;
constexpr std::int32_t kInvalidBound = 1734;
constexpr std::int32_t kStringTooLong = 1743;
constexpr std::int32_t kProcnumOutOfRange = 1745;
constexpr std::int32_t kUnknownAuthnService = 1747;
constexpr std::int32_t kNoEndpointFound = 1753;
constexpr std::int32_t kInvalidNafId = 1763;
constexpr std::int32_t kCannotSupport = 1764;
constexpr std::int32_t kNoContextAvailable = 1765;
constexpr std::int32_t kInternalError = 1766;
constexpr std::int32_t kZeroDivide = 1767;
constexpr std::int32_t kAddressError = 1768;
constexpr std::int32_t kFpDivZero = 1769;
constexpr std::int32_t kFpUnderflow = 1770;
constexpr std::int32_t kFpOverflow = 1771;
constexpr std::int32_t kNullRefPointer = 1780;
constexpr std::int32_t kByteCountTooSmall = 1782;
constexpr std::int32_t kBadStubData = 1783;
constexpr std::int32_t kCallInProgress = 1791;
constexpr std::int32_t kCallCancelled = 1818;
constexpr std::int32_t kCommFailure = 1820;
constexpr std::int32_t kWrongPipeOrder = 1831;
constexpr std::int32_t kInvalidAsyncHandle = 1914;
constexpr std::int32_t kInvalidAsyncCall = 1915;
constexpr std::int32_t kPipeClosed = 1916;
constexpr std::int32_t kPipeDisciplineError = 1917;
constexpr std::int32_t kPipeEmpty = 1918;
}  // namespace status

// Status values carried in the status field of a fault PDU.
namespace nca {
constexpr std::uint32_t kCommFailure = 0x1C010001;
constexpr std::uint32_t kOpRngError = 0x1C010002;
constexpr std::uint32_t kUnkIf = 0x1C010003;
constexpr std::uint32_t kWrongBootTime = 0x1C010006;
constexpr std::uint32_t kYouCrashed = 0x1C010009;
constexpr std::uint32_t kProtoError = 0x1C01000B;
constexpr std::uint32_t kOutArgsTooBig = 0x1C010013;
constexpr std::uint32_t kServerTooBusy = 0x1C010014;
constexpr std::uint32_t kFaultStringTooLong = 0x1C010015;
constexpr std::uint32_t kUnsupportedType = 0x1C010017;
constexpr std::uint32_t kFaultIntDivByZero = 0x1C000001;
constexpr std::uint32_t kFaultAddrError = 0x1C000002;
constexpr std::uint32_t kFaultFpDivZero = 0x1C000003;
constexpr std::uint32_t kFaultFpUnderflow = 0x1C000004;
constexpr std::uint32_t kFaultFpOverflow = 0x1C000005;
constexpr std::uint32_t kFaultInvalidTag = 0x1C000006;
constexpr std::uint32_t kFaultInvalidBound = 0x1C000007;
constexpr std::uint32_t kRpcVersionMismatch = 0x1C000008;
constexpr std::uint32_t kUnspecReject = 0x1C000009;
constexpr std::uint32_t kBadActid = 0x1C00000A;
constexpr std::uint32_t kWhoAreYouFailed = 0x1C00000B;
constexpr std::uint32_t kManagerNotEntered = 0x1C00000C;
constexpr std::uint32_t kFaultCancel = 0x1C00000D;
constexpr std::uint32_t kFaultIllInst = 0x1C00000E;
constexpr std::uint32_t kFaultFpError = 0x1C00000F;
constexpr std::uint32_t kFaultIntOverflow = 0x1C000010;
constexpr std::uint32_t kFaultUnspec = 0x1C000012;
constexpr std::uint32_t kFaultRemoteCommFailure = 0x1C000013;
constexpr std::uint32_t kFaultPipeEmpty = 0x1C000014;
constexpr std::uint32_t kFaultPipeClosed = 0x1C000015;
constexpr std::uint32_t kFaultPipeOrder = 0x1C000016;
constexpr std::uint32_t kFaultPipeDiscipline = 0x1C000017;
constexpr std::uint32_t kFaultPipeCommError = 0x1C000018;
constexpr std::uint32_t kFaultPipeMemory = 0x1C000019;
constexpr std::uint32_t kFaultContextMismatch = 0x1C00001A;
constexpr std::uint32_t kFaultRemoteNoMemory = 0x1C00001B;
// Stub data that does not decode; sent as the plain Win32 number.
constexpr std::uint32_t kFaultNdr = 0x000006F7;
}  // namespace nca

// The status a caller sees for a fault PDU's status field: nca_s_* values are
// translated, anything else (Win32 numbers such as 1783 or 5, application
// codes) passes through unchanged.
std::int32_t status_from_fault(std::uint32_t fault_status);

// The status a caller sees when the server answers a bind with a bind_nak
// carrying `reject_reason`.
std::int32_t status_from_bind_nak(std::uint16_t reject_reason);

// The status a caller sees when no presentation context was accepted; `reason`
// is the provider reason of the rejected result for our interface.
std::int32_t status_from_rejected_context(std::uint16_t result, std::uint16_t reason);

// A success or an RPC status number with a message for logs and tests. On
// failure `sys_error()` carries the errno that caused it, when there was one,
// and `peer_closed()` tells an orderly close by the peer (EOF) apart from other
// transport failures. Cheap to copy on success.
class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status ok() { return Status(); }
  static Status failure(std::int32_t code, std::string message, int sys_error = 0) {
    Status s;
    s.code_ = code;
    s.message_ = std::move(message);
    s.sys_error_ = sys_error;
    return s;
  }
  // The peer closed the connection; code kCallFailed.
  static Status closed_by_peer(std::string message);

  bool is_ok() const { return code_ == status::kOk; }
  std::int32_t code() const { return code_; }
  const std::string& message() const { return message_; }
  int sys_error() const { return sys_error_; }
  bool peer_closed() const { return peer_closed_; }
  // "1722: connect 127.0.0.1:4747: Connection refused" style text.
  std::string to_string() const;

 private:
  std::int32_t code_ = status::kOk;
  int sys_error_ = 0;
  bool peer_closed_ = false;
  std::string message_;
};

}  // namespace rpc
