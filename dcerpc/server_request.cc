// The requests of one connection: a call's fragments checked and
// reassembled (the stubs of a call of several fragments read from the socket
// straight into the block the call is dispatched from, with the fragments
// that follow read ahead in the same system call), handed to the dispatcher,
// and answered. Runs on the connection's own thread.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "dcerpc/server_internal.h"

namespace rpc::server_internal {

bool ConnectionHandler::handle_request(const CommonHeader& h, std::span<const std::uint8_t> pdu) {
  CommonHeader header;
  Request request;
  if (!decode_request(pdu, &header, &request).is_ok()) return protocol_violation(h.call_id);
  std::uint8_t* to = nullptr;
  if (!take_request(header, request, request.stub.size(), &to)) return false;
  if (to != nullptr) std::memcpy(to, request.stub.data(), request.stub.size());
  return end_request(header, request.stub);
}

bool ConnectionHandler::reads_into_block(const CommonHeader& header) const {
  return header.type == PacketType::Request && in_call_ && pending_fault_ == 0 &&
         block_.data != nullptr && (header.flags & (pfc::kFirstFrag | pfc::kObjectUuid)) == 0 &&
         header.frag_length > kRequestHeaderSize && end_ - begin_ < header.frag_length;
}

bool ConnectionHandler::receive_continuation() {
  if (!fill(kRequestHeaderSize, kRequestHeaderSize).is_ok()) return false;
  CommonHeader header;
  Request request;
  if (!decode_request_header({in_.data() + begin_, kRequestHeaderSize}, &header, &request)
           .is_ok()) {
    return protocol_violation(header.call_id);
  }
  const std::size_t stub_size = header.frag_length - kRequestHeaderSize;
  std::uint8_t* to = nullptr;
  if (!take_request(header, request, stub_size, &to)) return false;
  begin_ += kRequestHeaderSize;
  // What came with the header; the fragment is longer than what was read.
  const std::size_t here = std::min(end_ - begin_, stub_size);
  if (to != nullptr) std::memcpy(to, in_.data() + begin_, here);
  begin_ += here;
  if (begin_ == end_) begin_ = end_ = 0;
  return receive_stub(header, request.alloc_hint, to == nullptr ? nullptr : to + here,
                      stub_size - here);
}

bool ConnectionHandler::receive_stub(CommonHeader current, std::uint32_t alloc_hint,
                                     std::uint8_t* to, std::size_t left) {
  // in_ holds nothing here: every byte read so far belongs to `current`.
  for (;;) {
    if (to == nullptr) {
      // A call that will get a fault: its bytes are read and dropped.
      if (!fill(left).is_ok()) return false;
      begin_ += left;
      if (begin_ == end_) begin_ = end_ = 0;
      return end_request(current, {});
    }
    // The pieces to read into, in stream order: the rest of `current`, then
    // header and stub of each fragment guessed to follow.
    MutableBuffer pieces[2 * kReadAhead];
    std::size_t count = 0;
    pieces[count++] = {to, left};
    const std::size_t length = current.frag_length - kRequestHeaderSize;
    std::size_t hinted = alloc_hint > length ? alloc_hint - length : 0;
    std::uint8_t* next = to + left;
    const std::uint8_t* block_end = block_.data + block_.capacity;
    std::size_t ahead = 0;  // bytes of the pieces after the first
    for (std::size_t f = 0; f < kReadAhead && !(current.flags & pfc::kLastFrag); ++f) {
      if (ahead + kRequestHeaderSize > in_.size()) break;
      pieces[count++] = {heads_.data() + f * kRequestHeaderSize, kRequestHeaderSize};
      ahead += kRequestHeaderSize;
      // A header last: once it is in, the next read goes on with its stub.
      if (f + 1 == kReadAhead) break;
      const std::size_t guess =
          std::min({length, hinted, static_cast<std::size_t>(block_end - next)});
      if (guess == 0 || ahead + guess > in_.size()) break;
      pieces[count++] = {next, guess};
      ahead += guess;
      next += guess;
      hinted -= guess;
      if (guess < length) break;  // the last fragment, by the hint
    }
    // Until `current` is complete; whatever else came with it is looked at
    // below.
    std::size_t got = 0;
    while (got < left) {
      MutableBuffer rest[2 * kReadAhead];
      std::size_t skip = got;
      std::size_t n = 0;
      for (std::size_t i = 0; i < count; ++i) {
        if (skip >= pieces[i].size) {
          skip -= pieces[i].size;
          continue;
        }
        rest[n++] = {static_cast<std::uint8_t*>(pieces[i].data) + skip, pieces[i].size - skip};
        skip = 0;
      }
      // What has come, without a wait; when nothing has, a wait within the
      // PDU's bound. The stream is busy while a chunk arrives, so most reads
      // need no wait.
      std::size_t received = 0;
      if (!socket_->receive_now(std::span(rest, n), &received).is_ok()) return false;
      if (received == 0 && !wait_in_pdu().is_ok()) return false;
      got += received;
    }
    std::size_t extra = got - left;
    // Gives the bytes read from piece `from` on back to in_, as unread.
    const auto give_back = [&](std::size_t from) {
      for (std::size_t i = from; i < count && extra > 0; ++i) {
        const std::size_t size = std::min(pieces[i].size, extra);
        std::memcpy(in_.data() + end_, pieces[i].data, size);
        end_ += size;
        extra -= size;
      }
    };
    if (!end_request(current, {})) return false;
    if (current.flags & pfc::kLastFrag) return true;  // nothing was read ahead
    to = nullptr;
    left = 0;
    std::size_t i = 1;
    for (; i < count && extra > 0; i += 2) {
      const std::uint8_t* head = static_cast<const std::uint8_t*>(pieces[i].data);
      CommonHeader header;
      Request request;
      const bool whole = extra >= kRequestHeaderSize;
      const bool guessed_stub = i + 1 < count;
      // A fragment other than the one guessed goes the ordinary way.
      if (!whole || !decode_request_header({head, kRequestHeaderSize}, &header, &request).is_ok() ||
          (header.flags & pfc::kFirstFrag) || header.frag_length > max_fragment_ ||
          (guessed_stub && header.frag_length != kRequestHeaderSize + pieces[i + 1].size)) {
        give_back(i);
        return true;
      }
      extra -= kRequestHeaderSize;
      const std::size_t stub_size = header.frag_length - kRequestHeaderSize;
      const std::size_t placed = guessed_stub ? std::min(extra, stub_size) : 0;
      extra -= placed;
      // The bytes after this fragment belong to the next PDU: back to in_
      // before the call is answered and its block given back.
      if (header.flags & pfc::kLastFrag) give_back(i + 2);
      std::uint8_t* room = nullptr;
      if (!take_request(header, request, stub_size, &room)) return false;
      if (room != nullptr && placed > 0 && room != pieces[i + 1].data) {
        std::memmove(room, pieces[i + 1].data, placed);
      }
      if (placed < stub_size) {
        // The rest of this one is still to come: it is `current` now.
        pdu_deadline_ =
            Clock::now() + std::chrono::milliseconds(server_->options.limits.pdu_timeout_ms);
        current = header;
        alloc_hint = request.alloc_hint;
        to = room == nullptr ? nullptr : room + placed;  // null: dropped, see above
        left = stub_size - placed;
        break;
      }
      if (!end_request(header, {})) return false;
      if (header.flags & pfc::kLastFrag) return true;
    }
    if (left == 0) return true;  // back to reading headers through in_
  }
}

bool ConnectionHandler::take_request(const CommonHeader& header, const Request& request,
                                     std::size_t stub_size, std::uint8_t** to) {
  *to = nullptr;
  const bool first = header.flags & pfc::kFirstFrag;
  const bool last = header.flags & pfc::kLastFrag;
  const std::size_t limit = server_->options.limits.max_request_stub;
  if (first) {
    // Without multiplexing a new call may start only after the last one
    // was answered.
    if (in_call_) return protocol_violation(header.call_id);
    // alloc_hint is only a hint, but one beyond the limit announces a call
    // we will refuse anyway.
    if (request.alloc_hint > limit) return protocol_violation(header.call_id);
    in_call_ = true;
    call_id_ = header.call_id;
    call_context_ = request.context_id;
    call_opnum_ = request.opnum;
    call_size_ = 0;
    call_fragments_ = 0;
    pending_fault_ = 0;
    if (find_context(request.context_id) == nullptr) {
      pending_fault_ = nca::kUnkIf;
    } else if (request.opnum >= server_->procedure_count) {
      pending_fault_ = nca::kOpRngError;
    }
    if (!last && pending_fault_ == 0) {
      const std::size_t bulk = server_->dispatcher->call_arriving(
          request.opnum, find_context(request.context_id)->syntax, request.stub);
      arriving_ = true;
      stub_at_ = (kStubAlignment - bulk % kStubAlignment) % kStubAlignment;
      if (!reserve_stub(
              std::min<std::size_t>(std::max<std::size_t>(request.alloc_hint, stub_size), limit),
              0)) {
        pending_fault_ = nca::kServerTooBusy;
      }
    }
  } else {
    if (!in_call_ || header.call_id != call_id_ || request.context_id != call_context_ ||
        request.opnum != call_opnum_) {
      return protocol_violation(header.call_id);
    }
  }
  call_size_ += stub_size;
  if (call_size_ > limit) return protocol_violation(header.call_id);
  const std::size_t max_fragments = server_->options.limits.max_fragments_per_call;
  if (++call_fragments_ > max_fragments && max_fragments != 0) {
    bound_hit_ = Bound::Fragments;
    return protocol_violation(header.call_id);
  }
  const bool single = first && last;
  if (!single && pending_fault_ == 0) {
    *to = stub_room(stub_size, limit);
    if (*to == nullptr) pending_fault_ = nca::kServerTooBusy;
  }
  return true;
}

bool ConnectionHandler::end_request(const CommonHeader& header,
                                    std::span<const std::uint8_t> single_stub) {
  if (!(header.flags & pfc::kLastFrag)) return true;
  in_call_ = false;
  end_arrival();
  if (pending_fault_ != 0) {
    server_->stubs.give_back(std::exchange(block_, StubBlock{}));
    return send_fault(call_id_, call_context_, pending_fault_, true);
  }
  if (header.flags & pfc::kFirstFrag) return finish_call(single_stub);  // no copy
  const bool kept = finish_call({block_.data + stub_at_, call_size_});
  server_->stubs.give_back(std::exchange(block_, StubBlock{}));
  return kept;
}

void ConnectionHandler::end_arrival() {
  if (!arriving_) return;
  arriving_ = false;
  server_->dispatcher->call_arrived(call_opnum_);
}

bool ConnectionHandler::reserve_stub(std::size_t size, std::size_t kept) {
  const std::size_t have = block_.data == nullptr ? 0 : block_.capacity - stub_at_;
  if (size <= have) return true;
  StubBlock bigger = server_->stubs.take(stub_at_ + size);
  if (bigger.data == nullptr) return false;
  if (block_.data != nullptr) {
    std::memcpy(bigger.data + stub_at_, block_.data + stub_at_, kept);
    server_->stubs.give_back(block_);
  }
  block_ = bigger;
  return true;
}

std::uint8_t* ConnectionHandler::stub_room(std::size_t size, std::size_t limit) {
  // call_size_ already counts the `size` bytes.
  const std::size_t kept = call_size_ - size;
  const std::size_t have = block_.data == nullptr ? 0 : block_.capacity - stub_at_;
  if (call_size_ > have &&
      !reserve_stub(std::min(std::max(call_size_, 2 * have), std::max(call_size_, limit)), kept)) {
    return nullptr;
  }
  return block_.data + stub_at_ + kept;
}

bool ConnectionHandler::finish_call(std::span<const std::uint8_t> stub) {
  const AcceptedContext* context = find_context(call_context_);
  CallInfo call;
  call.assoc_group = group_;
  call.syntax = context->syntax;
  call.opnum = call_opnum_;
  call.context_id = call_context_;
  call.call_id = call_id_;
  call.peer = connection_->address;
  reply_.clear();
  ++server_->counters.calls;
  const DispatchResult result = server_->dispatcher->dispatch(call, stub, &reply_);
  if (result.kind != DispatchResult::Kind::Reply && reply_.capacity() > kKeptBufferSize) {
    std::vector<std::uint8_t>().swap(reply_);
  }
  switch (result.kind) {
    case DispatchResult::Kind::Drop:
      return false;
    case DispatchResult::Kind::Fault:
      return send_fault(call_id_, call_context_, result.fault_status, result.did_not_execute);
    case DispatchResult::Kind::Reply:
      break;
  }
  // A reply is bounded far below 4 GiB and the negotiated size always
  // leaves room for stub bytes; a plan that fails anyway ends the connection.
  if (!plan_fragments(reply_.size(), max_fragment_, kResponseHeaderSize, &reply_fragments_)) {
    return false;
  }
  auto& headers = reply_headers_;
  auto& pieces = reply_pieces_;
  headers.resize(reply_fragments_.size() * kResponseHeaderSize);
  for (std::size_t f = 0; f < reply_fragments_.size(); ++f) {
    const Fragment& fragment = reply_fragments_[f];
    encode_response_header(headers.data() + f * kResponseHeaderSize, fragment.flags,
                           fragment.frag_length, call_id_, fragment.alloc_hint, call_context_);
  }
  pieces.clear();
  const ConstBuffer reply{reply_.data(), reply_.size()};
  gather_fragments(reply_fragments_, headers.data(), kResponseHeaderSize,
                   std::span<const ConstBuffer>(&reply, 1), &pieces);
  const bool written = socket_->write_all(pieces).is_ok();
  // A big reply's buffers are not kept between calls.
  if (reply_.capacity() > kKeptBufferSize) {
    std::vector<std::uint8_t>().swap(reply_);
    decltype(reply_fragments_)().swap(reply_fragments_);
    decltype(reply_headers_)().swap(reply_headers_);
    decltype(reply_pieces_)().swap(reply_pieces_);
  }
  return written;
}

}  // namespace rpc::server_internal
