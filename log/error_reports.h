// The fixed sentence shapes in which failures of OS, disk and RPC calls are
// reported: each composer writes one Error line through the logger and
// changes nothing else. Callable from any thread; a composer that reports the
// last OS error must run on the thread whose call failed, directly after it.
#pragma once

#include <cstdint>
#include <string>

// "<operation> failed, error code: <last OS error>"
void report_last_error(std::wstring operation);
// "<operation> failed, offset: <offset>, error code : <last OS error>"
void report_last_error_at(std::wstring operation, std::uint64_t offset);
// "<operation> failed, offset: <offset>, error code : <code>"
void report_error_at(std::wstring operation, std::uint64_t offset, std::int32_t code);
// "Invoke rpc method <operation> failed, rpc status: <status>"
void report_rpc_status(std::wstring operation, std::int32_t status);
