// The real trvc against a raw server on loopback that speaks the replication
// interface PDU by PDU and misbehaves on purpose: it goes silent at a chosen
// point, stops reading in the middle of a request, answers every PDU with
// call_id 1 as Wine's runtime does, or repeats an earlier reply. The client's
// bounds are shortened through TRV_TEST_BOUNDS, so a silent server ends the
// run within seconds; the tests check how it ends, never how fast.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dcerpc/client_testing.h"
#include "service/server_result.h"
#include "service/service_ndr.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

using rpc::CommonHeader;
using rpc::PacketType;
using rpc::Socket;

// Where the server stops answering (and, for StopsReading, stops reading).
enum class Silence {
  Never,
  AtBind,        // the bind is read and never answered
  AtOpen,        // bound, then open_device is never answered
  AfterOpen,     // open_device answered, then nothing: pings, binds, calls
  AtReplicate,   // the `silent_from`th replicate and everything after it
  MidResponse,   // the first replicate's reply stops after its first fragment
  AtClose,       // every chunk is answered, close_device is not
  StopsReading,  // reads one fragment of the `silent_from`th replicate, then nothing
};

// A replication server at the PDU level over one destination disk: stores
// what replicate sends, answers compare by the stored bytes' digest.
class RawServer {
 public:
  struct Script {
    Silence silence = Silence::Never;
    int silent_from = 1;
    bool call_id_one = false;      // every answer carries call_id 1
    bool repeat_previous = false;  // each reply after a connection's first comes twice: late
    // What every replicate is answered (a verify disk answers 12), except
    // the one at `odd_offset`, answered `odd_answer`.
    std::int32_t replicate_answer = Replicated;
    std::optional<std::uint64_t> odd_offset = std::nullopt;
    std::int32_t odd_answer = Replicated;
  };

  explicit RawServer(Script script)
      : script_(script), server_([this](Socket& socket, int) { serve(socket); }) {}
  ~RawServer() {
    std::lock_guard guard(lock_);
    stopping_ = true;
    changed_.notify_all();
  }

  std::string port_text() const { return std::to_string(server_.port()); }

  // The destination's first `length` bytes (unwritten chunks zero).
  std::vector<std::uint8_t> destination(std::uint64_t length) {
    std::lock_guard guard(lock_);
    std::vector<std::uint8_t> out(length, 0);
    for (const auto& [offset, data] : chunks_) {
      for (std::size_t i = 0; i < data.size() && offset + i < length; ++i)
        out[offset + i] = data[i];
    }
    return out;
  }
  void preload(std::uint64_t offset, std::vector<std::uint8_t> data) {
    std::lock_guard guard(lock_);
    chunks_[offset] = std::move(data);
  }
  int pings() {
    std::lock_guard guard(lock_);
    return pings_;
  }
  int compares() {
    std::lock_guard guard(lock_);
    return compares_;
  }

 private:
  int count_replicate() {
    std::lock_guard guard(lock_);
    return ++replicates_;
  }
  // Takes nothing more from the connection until the test ends.
  void stop_reading() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return stopping_; });
  }
  // Reads and drops PDUs until the client closes the connection.
  static void ignore_the_rest(Socket& socket) {
    std::vector<std::uint8_t> pdu;
    CommonHeader header;
    while (rpc::testing::read_pdu(socket, &pdu, &header)) {
    }
  }
  std::uint32_t answer_id(std::uint32_t call_id) const { return script_.call_id_one ? 1 : call_id; }
  bool silent_after_open() {
    std::lock_guard guard(lock_);
    return script_.silence == Silence::AfterOpen && opened_;
  }

  bool send(Socket& socket, const std::vector<std::uint8_t>& pdu) {
    return socket.write_all(pdu.data(), pdu.size()).is_ok();
  }

  void serve(Socket& socket) {
    std::vector<std::uint8_t> pdu;
    CommonHeader header;
    if (!rpc::testing::read_pdu(socket, &pdu, &header)) return;
    if (script_.silence == Silence::AtBind || silent_after_open()) return ignore_the_rest(socket);
    rpc::Bind bind;
    if (!rpc::decode_bind(pdu, &bind).is_ok()) return;
    if (!send(socket, rpc::encode_bind_ack(answer_id(header.call_id), rpc::pfc::kSingleFrag,
                                           accept_ndr64(bind)))) {
      return;
    }
    std::vector<std::uint8_t> previous;  // the last reply on this connection
    std::vector<std::uint8_t> stub;
    for (;;) {
      if (!rpc::testing::read_pdu(socket, &pdu, &header)) return;
      if (header.type == PacketType::AlterContext) {
        if (silent_after_open()) return ignore_the_rest(socket);
        rpc::Bind alter;
        if (!rpc::decode_bind(pdu, &alter).is_ok()) return;
        {
          std::lock_guard guard(lock_);
          ++pings_;
        }
        if (!send(socket,
                  rpc::encode_bind_ack(answer_id(header.call_id), rpc::pfc::kSingleFrag,
                                       accept_ndr64(alter), PacketType::AlterContextResp))) {
          return;
        }
        continue;
      }
      rpc::Request request;
      if (!rpc::decode_request(pdu, &header, &request).is_ok()) return;
      if (header.flags & rpc::pfc::kFirstFrag) {
        stub.clear();
        if (request.opnum == kReplicateOpnum && script_.silence == Silence::StopsReading &&
            count_replicate() >= script_.silent_from) {
          return stop_reading();
        }
      }
      stub.insert(stub.end(), request.stub.begin(), request.stub.end());
      if (!(header.flags & rpc::pfc::kLastFrag)) continue;

      std::int32_t result = 0;
      if (!handle(request.opnum, stub, &result)) return ignore_the_rest(socket);
      std::uint8_t out[kResultResponseSize];
      encode_result_response(result, out);
      if (script_.silence == Silence::MidResponse && request.opnum == kReplicateOpnum) {
        // The first of two fragments, then nothing.
        send(socket, rpc::encode_response(answer_id(header.call_id), request.context_id,
                                          std::span(out, 2), rpc::pfc::kFirstFrag));
        return ignore_the_rest(socket);
      }
      if (script_.repeat_previous && !previous.empty() && !send(socket, previous)) return;
      previous = rpc::encode_response(answer_id(header.call_id), request.context_id, out);
      if (!send(socket, previous)) return;
    }
  }

  // The answer to one whole request; false when the server is to go silent.
  bool handle(std::uint16_t opnum, const std::vector<std::uint8_t>& stub, std::int32_t* result) {
    const Silence silence = script_.silence;
    if (silent_after_open()) return false;
    switch (opnum) {
      case kOpenDeviceOpnum: {
        *result = Opened;
        std::lock_guard guard(lock_);
        opened_ = true;
        return silence != Silence::AtOpen;
      }
      case kCloseDeviceOpnum:
        *result = Closed;
        return silence != Silence::AtClose && silence != Silence::AtReplicate;
      case kCompareOpnum: {
        CompareRequest compare;
        EXPECT_TRUE(decode_compare_request(rpc::Syntax::Ndr64, stub, &compare).is_ok());
        std::lock_guard guard(lock_);
        ++compares_;
        auto it = chunks_.find(static_cast<std::uint64_t>(compare.offset));
        const bool same = it != chunks_.end() &&
                          md5_of(it->second) == std::vector<std::uint8_t>(compare.digest.begin(),
                                                                          compare.digest.end());
        *result = same ? Identical : Differs;
        return true;
      }
      case kReplicateOpnum: {
        ReplicateRequest replicate;
        EXPECT_TRUE(decode_replicate_request(rpc::Syntax::Ndr64, stub, &replicate).is_ok());
        std::lock_guard guard(lock_);
        if (silence == Silence::AtReplicate && ++replicates_ >= script_.silent_from) return false;
        const auto offset = static_cast<std::uint64_t>(replicate.offset);
        *result = offset == script_.odd_offset ? script_.odd_answer : script_.replicate_answer;
        if (*result == Replicated)
          chunks_[offset].assign(replicate.data.begin(), replicate.data.end());
        return true;
      }
      default:
        return false;
    }
  }

  static rpc::BindAck accept_ndr64(const rpc::Bind& bind) {
    rpc::BindAck ack;
    ack.assoc_group_id = 0x5117;
    ack.secondary_address = "4747";
    for (const rpc::ContextElement& element : bind.contexts) {
      rpc::ContextResult result;
      const rpc::SyntaxId& offered = element.transfer_syntaxes.front();
      if (rpc::is_btfn_syntax(offered)) {
        result.result = rpc::context_result::kNegotiateAck;
      } else if (offered == rpc::ndr64_syntax()) {
        result.transfer_syntax = offered;
      } else {
        result.result = rpc::context_result::kProviderRejection;
        result.reason = rpc::provider_reason::kTransferSyntaxesNotSupported;
      }
      ack.results.push_back(result);
    }
    return ack;
  }

  const Script script_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;                                      // guarded by lock_
  int replicates_ = 0;                                         // guarded by lock_
  int pings_ = 0;                                              // guarded by lock_
  int compares_ = 0;                                           // guarded by lock_
  bool opened_ = false;                                        // guarded by lock_
  std::map<std::uint64_t, std::vector<std::uint8_t>> chunks_;  // guarded by lock_
  rpc::testing::ScriptedPeer server_;                          // last: its threads use the above
};

class SilentServer : public ::testing::Test {
 protected:
  RunResult run(RawServer& server, const std::string& mode = "", const std::string& limit = "0") {
    std::vector<std::string> args = {"127.0.0.1", server.port_text(), "1", "7", limit};
    if (!mode.empty()) args.push_back(mode);
    RunResult result =
        run_trvc(dir_, args, {{"TRV_TEST_BOUNDS", "rpc.reply=1500,rpc.keepalive=400"}});
    // For the record of how long a silent server holds a run up; not checked.
    std::printf("[ trvc ended after %.2f s, exit %d ]\n", result.seconds, result.exit_code);
    return result;
  }
  void expect_in_log(const RunResult& result, const std::string& message) {
    EXPECT_NE(find_message(result.log, message), -1) << "missing: " << message << "\n"
                                                     << result.err;
  }
  void expect_cancelled_chunks(const RunResult& result) {
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_GE(count_prefix(result.log, "Invoke rpc method Replicate failed, rpc status: 1818"), 1)
        << result.err;
    expect_in_log(result, "Replicate failed.");
  }

  TempDir dir_;
};

TEST_F(SilentServer, SilenceBeforeTheFirstChunkFailsTheOpen) {
  for (Silence silence : {Silence::AtBind, Silence::AtOpen}) {
    TempDir dir;
    write_file(dir.drive(1), pattern(2 * kMiB, 1));
    RawServer server({.silence = silence});
    RunResult result = run_trvc(dir, {"127.0.0.1", server.port_text(), "1", "7", "0"},
                                {{"TRV_TEST_BOUNDS", "rpc.reply=1500,rpc.keepalive=400"}});
    std::printf("[ trvc ended after %.2f s, exit %d ]\n", result.seconds, result.exit_code);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("Invoke rpc method open_device failed, exception code: 1818"),
              std::string::npos)
        << result.err;
    expect_in_log(result, "Open physical disk failed on destination, stop replication.");
    EXPECT_EQ(find_message(result.log, "Initilazing chunks"), -1);
  }
}

TEST_F(SilentServer, SilenceAtTheThirdChunkFailsTheRun) {
  write_file(dir_.drive(1), pattern(6 * kMiB, 2));
  RawServer server({.silence = Silence::AtReplicate, .silent_from = 3});
  RunResult result = run(server);
  expect_cancelled_chunks(result);
  // The close meets the same silence.
  expect_in_log(result, "Close physical disk failed on destination.");
}

TEST_F(SilentServer, AReplyThatStopsAfterItsFirstFragmentFailsTheRun) {
  write_file(dir_.drive(1), pattern(3 * kMiB, 3));
  RawServer server({.silence = Silence::MidResponse});
  RunResult result = run(server);
  expect_cancelled_chunks(result);
}

TEST_F(SilentServer, AServerThatStopsReadingAChunkFailsTheRun) {
  write_file(dir_.drive(1), pattern(4 * kMiB, 4));
  RawServer server({.silence = Silence::StopsReading, .silent_from = 2});
  expect_cancelled_chunks(run(server));
}

TEST_F(SilentServer, SilenceAtTheCloseAfterEveryChunkFailsTheRun) {
  const std::vector<std::uint8_t> source = pattern(3 * kMiB, 5);
  write_file(dir_.drive(1), source);
  RawServer server({.silence = Silence::AtClose});
  RunResult result = run(server);
  // Every chunk was answered, but nothing confirms the destination now.
  EXPECT_EQ(result.exit_code, 1) << result.err;
  expect_in_log(result, "Replicate succ.");
  expect_in_log(result, "Close physical disk failed on destination.");
  ASSERT_FALSE(result.log.empty());
  EXPECT_EQ(result.log.back().message,
            "Replicate failed: the destination did not confirm the close (no answer).");
  EXPECT_NE(result.err.find("Invoke rpc method close_device failed, exception code: 1818"),
            std::string::npos)
      << result.err;
  EXPECT_TRUE(server.destination(source.size()) == source);
}

// Behind a bandwidth limit most workers wait in the limiter, for 16 s a
// chunk at 64 KB/s and 1000 s at 1 KB/s: a silent server must end the run
// all the same, whether a call or only the keepalive meets the silence.
TEST_F(SilentServer, SilenceEndsTheRunWhateverTheBandwidthLimit) {
  struct Case {
    Silence silence;
    const char* limit;
  };
  for (Case c : {Case{Silence::AfterOpen, "64"}, Case{Silence::AfterOpen, "1"},
                 Case{Silence::AtReplicate, "512"}}) {
    TempDir dir;
    make_sparse_file(dir.drive(1), 64 * kMiB);
    RawServer server({.silence = c.silence});
    TrvcProcess trvc(dir, {"127.0.0.1", server.port_text(), "1", "7", c.limit},
                     {{"TRV_TEST_BOUNDS", "rpc.reply=1500,rpc.keepalive=400"}});
    // A cap against a hang, far above the few bounds the run needs; without
    // the halt, the limiter alone would hold it for many minutes.
    ASSERT_TRUE(eventually([&] { return !trvc.running(); })) << "at " << c.limit << " KB/s";
    RunResult result = trvc.wait();
    EXPECT_EQ(result.exit_code, 1) << result.err;
    expect_in_log(result, "Replicate failed.");
    expect_in_log(result, "Close physical disk failed on destination.");
  }
}

// A failure code stops nothing: the verification pass still names every
// differing chunk, whatever another chunk was answered.
TEST_F(SilentServer, AFailureCodeOnOneChunkStillNamesEveryDifferingChunk) {
  const std::vector<std::uint8_t> source = pattern(6 * kMiB, 9);
  write_file(dir_.drive(1), source);
  RawServer server({.replicate_answer = kReadOnlyRefusal, .odd_offset = 3 * kMiB, .odd_answer = 5});
  for (std::uint64_t chunk : {0, 2, 4}) {
    server.preload(chunk * kMiB, std::vector<std::uint8_t>(source.begin() + chunk * kMiB,
                                                           source.begin() + (chunk + 1) * kMiB));
  }
  RunResult result = run(server, "incremental_sync");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(server.compares(), 6);
  for (const char* named : {"Replicate failed, offset: 1048576, error code : 12",
                            "Replicate failed, offset: 3145728, error code : 5",
                            "Replicate failed, offset: 5242880, error code : 12"}) {
    expect_in_log(result, named);
  }
  expect_in_log(result, "Replicate failed.");
}

TEST_F(SilentServer, AServerThatAnswersWithCallIdOneGetsAByteExactCopy) {
  const std::vector<std::uint8_t> source = pattern(5 * kMiB + 4096, 6);
  write_file(dir_.drive(1), source);
  {
    RawServer server({.call_id_one = true});
    RunResult result = run(server);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(server.destination(source.size()) == source);
  }
  // Incremental: two chunks already there, the rest stale or missing.
  RawServer server({.call_id_one = true});
  server.preload(0, std::vector<std::uint8_t>(source.begin(), source.begin() + kMiB));
  server.preload(2 * kMiB,
                 std::vector<std::uint8_t>(source.begin() + 2 * kMiB, source.begin() + 3 * kMiB));
  server.preload(3 * kMiB, pattern(kMiB, 99));
  RunResult result = run(server, "incremental_sync");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(server.destination(source.size()) == source);
}

TEST_F(SilentServer, ConnectionsIdleBetweenSlowChunksArePingedAndKeepServing) {
  // 1000 KB/s: a chunk about every second, while the pings come after 400 ms.
  const std::vector<std::uint8_t> source = pattern(3 * kMiB, 8);
  write_file(dir_.drive(1), source);
  RawServer server({.call_id_one = true});
  RunResult result = run(server, "", "1000");
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_GE(server.pings(), 1);
  EXPECT_TRUE(server.destination(source.size()) == source);
}

TEST_F(SilentServer, ARepeatedEarlierReplyFailsTheRun) {
  write_file(dir_.drive(1), pattern(3 * kMiB, 7));
  RawServer server({.repeat_previous = true});
  RunResult result = run(server);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_GE(count_prefix(result.log, "Invoke rpc method Replicate failed, rpc status: 1728"), 1)
      << result.err;
  expect_in_log(result, "Replicate failed.");
}

}  // namespace
}  // namespace e2e
