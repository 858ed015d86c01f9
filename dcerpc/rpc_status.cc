// Fault and rejection translation tables, following what Windows callers see
// (the same table Wine keeps for its runtime).
#include "dcerpc/rpc_status.h"

#include <cstring>

#include "dcerpc/pdu.h"

namespace rpc {

std::int32_t status_from_fault(std::uint32_t fault_status) {
  switch (fault_status) {
    case nca::kCommFailure:
      return status::kCommFailure;
    case nca::kOpRngError:
      return status::kProcnumOutOfRange;
    case nca::kUnkIf:
      return status::kUnknownIf;
    case nca::kYouCrashed:
    case nca::kWhoAreYouFailed:
    case nca::kFaultUnspec:
      return status::kCallFailed;
    case nca::kProtoError:
    case nca::kRpcVersionMismatch:
      return status::kProtocolError;
    case nca::kOutArgsTooBig:
    case nca::kFaultRemoteNoMemory:
      return status::kServerOutOfMemory;
    case nca::kServerTooBusy:
      return status::kServerTooBusy;
    case nca::kUnsupportedType:
      return status::kUnsupportedType;
    case nca::kFaultIntDivByZero:
      return status::kZeroDivide;
    case nca::kFaultAddrError:
    case nca::kFaultIllInst:
    case nca::kFaultIntOverflow:
      return status::kAddressError;
    case nca::kFaultFpDivZero:
      return status::kFpDivZero;
    case nca::kFaultFpUnderflow:
      return status::kFpUnderflow;
    case nca::kFaultFpOverflow:
    case nca::kFaultFpError:
      return status::kFpOverflow;
    case nca::kFaultInvalidTag:
      return status::kInvalidTag;
    case nca::kFaultInvalidBound:
      return status::kInvalidBound;
    case nca::kUnspecReject:
    case nca::kBadActid:
    case nca::kManagerNotEntered:
      return status::kCallFailedDne;
    case nca::kFaultCancel:
      return status::kCallCancelled;
    case nca::kFaultPipeEmpty:
      return status::kPipeEmpty;
    case nca::kFaultPipeClosed:
      return status::kPipeClosed;
    case nca::kFaultPipeOrder:
      return status::kWrongPipeOrder;
    case nca::kFaultPipeDiscipline:
      return status::kPipeDisciplineError;
    case nca::kFaultPipeCommError:
      return status::kCommFailure;
    case nca::kFaultPipeMemory:
      return status::kOutOfMemory;
    case nca::kFaultContextMismatch:
      return status::kInvalidHandle;
    default:
      return static_cast<std::int32_t>(fault_status);
  }
}

std::int32_t status_from_bind_nak(std::uint16_t reason) {
  switch (reason) {
    case reject_reason::kTemporaryCongestion:
    case reject_reason::kLocalLimitExceeded:
      return status::kServerTooBusy;
    case reject_reason::kProtocolVersionNotSupported:
      return status::kProtocolError;
    case reject_reason::kAuthenticationTypeNotRecognized:
      return status::kUnknownAuthnService;
    case reject_reason::kInvalidChecksum:
      return status::kAccessDenied;
    default:
      return status::kCallFailedDne;
  }
}

std::int32_t status_from_rejected_context(std::uint16_t result, std::uint16_t reason) {
  if (result == context_result::kProviderRejection) {
    if (reason == provider_reason::kAbstractSyntaxNotSupported) return status::kUnknownIf;
    if (reason == provider_reason::kTransferSyntaxesNotSupported) {
      return status::kUnsupportedTransSyn;
    }
  }
  return status::kCallFailedDne;
}

Status Status::closed_by_peer(std::string message) {
  Status s = failure(status::kCallFailed, std::move(message));
  s.peer_closed_ = true;
  return s;
}

std::string Status::to_string() const {
  if (is_ok()) return "OK";
  std::string text = std::to_string(code_) + ": " + message_;
  if (sys_error_ != 0) {
    text += ": ";
    text += std::strerror(sys_error_);
  }
  return text;
}

}  // namespace rpc
