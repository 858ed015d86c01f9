// PDU codecs against byte dumps of real exchanges, and their behaviour on
// malformed input.
#include "dcerpc/pdu.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "testing/bytes.h"
#include "testing/service_bind.h"

namespace rpc {
namespace {

using trv_testing::hex;

// A 64-bit client's bind: NDR 2.0, NDR64 and feature negotiation 0x03.
const std::vector<std::uint8_t> kBind = hex(R"(
05 00 0b 03 10 00 00 00 a0 00 00 00 01 00 00 00
d0 16 d0 16 00 00 00 00 03 00 00 00 00 00 01 00
91 6c ca 28 eb a6 3d 42 82 cf 54 8f 5d f5 42 bc
01 00 00 00 04 5d 88 8a eb 1c c9 11 9f e8 08 00
2b 10 48 60 02 00 00 00 01 00 01 00 91 6c ca 28
eb a6 3d 42 82 cf 54 8f 5d f5 42 bc 01 00 00 00
33 05 71 71 ba be 37 49 83 19 b5 db ef 9c cc 36
01 00 00 00 02 00 01 00 91 6c ca 28 eb a6 3d 42
82 cf 54 8f 5d f5 42 bc 01 00 00 00 2c 1c b7 6c
12 98 40 45 03 00 00 00 00 00 00 00 01 00 00 00)");

// Its bind_ack from a server on port 40200.
const std::vector<std::uint8_t> kBindAck = hex(R"(
05 00 0c 03 10 00 00 00 6c 00 00 00 01 00 00 00
d0 16 d0 16 17 5a 00 00 06 00 34 30 32 30 30 00
03 00 00 00 02 00 02 00 00 00 00 00 00 00 00 00
00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
33 05 71 71 ba be 37 49 83 19 b5 db ef 9c cc 36
01 00 00 00 03 00 03 00 00 00 00 00 00 00 00 00
00 00 00 00 00 00 00 00 00 00 00 00)");

const std::vector<std::uint8_t> kOpenRequest =
    hex("05 00 00 03 10 00 00 00 1a 00 00 00 02 00 00 00 02 00 00 00 01 00 00 00 03 00");
const std::vector<std::uint8_t> kResponse107 =
    hex("05 00 02 03 10 00 00 00 1c 00 00 00 02 00 00 00 04 00 00 00 01 00 00 00 6b 00 00 00");
const std::vector<std::uint8_t> kFaultOpRange =
    hex("05 00 03 23 10 00 00 00 20 00 00 00 03 00 00 00 20 00 00 00 01 00 00 00 02 00 01 1c 00 00 "
        "00 00");
const std::vector<std::uint8_t> kBindNakVersion =
    hex("05 00 0d 03 10 00 00 00 18 00 00 00 01 00 00 00 04 00 01 05 00 00 00 00");

TEST(SyntaxIdTest, WireBytesOfTheKnownSyntaxes) {
  auto wire = [](const SyntaxId& id) {
    std::vector<std::uint8_t> out(id.uuid.bytes.begin(), id.uuid.bytes.end());
    out.push_back(static_cast<std::uint8_t>(id.major));
    out.push_back(static_cast<std::uint8_t>(id.major >> 8));
    out.push_back(static_cast<std::uint8_t>(id.minor));
    out.push_back(static_cast<std::uint8_t>(id.minor >> 8));
    return out;
  };
  EXPECT_EQ(wire(replication_service_interface()),
            hex("91 6c ca 28 eb a6 3d 42 82 cf 54 8f 5d f5 42 bc 01 00 00 00"));
  EXPECT_EQ(wire(ndr20_syntax()),
            hex("04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60 02 00 00 00"));
  EXPECT_EQ(wire(ndr64_syntax()),
            hex("33 05 71 71 ba be 37 49 83 19 b5 db ef 9c cc 36 01 00 00 00"));
  EXPECT_EQ(wire(btfn_syntax(3)),
            hex("2c 1c b7 6c 12 98 40 45 03 00 00 00 00 00 00 00 01 00 00 00"));
  EXPECT_EQ(replication_service_interface().uuid.to_string(),
            "28ca6c91-a6eb-423d-82cf-548f5df542bc");
  EXPECT_TRUE(is_btfn_syntax(btfn_syntax(0)));
  EXPECT_FALSE(is_btfn_syntax(ndr64_syntax()));
  EXPECT_EQ(btfn_features(btfn_syntax(0x02)), 0x02);
}

TEST(SyntaxIdTest, UuidParseRejectsMalformedText) {
  EXPECT_FALSE(Uuid::parse("28ca6c91-a6eb-423d-82cf-548f5df542b").has_value());
  EXPECT_FALSE(Uuid::parse("28ca6c91-a6eb-423d-82cf-548f5df542bcd").has_value());
  EXPECT_FALSE(Uuid::parse("28ca6c91xa6eb-423d-82cf-548f5df542bc").has_value());
  EXPECT_FALSE(Uuid::parse("{8ca6c91-a6eb-423d-82cf-548f5df542bc}").has_value());
  EXPECT_FALSE(Uuid::parse("28ca6c91-a6eb-423d-82cf-548f5df542bg").has_value());
  EXPECT_TRUE(Uuid::parse("28CA6C91-A6EB-423D-82CF-548F5DF542BC").has_value());
}

TEST(BindTest, EncodesTheWindowsStyleBindByteForByte) {
  EXPECT_EQ(encode_bind(1, pfc::kSingleFrag, trv_testing::windows_style_bind(0)), kBind);
}

TEST(BindTest, DecodesTheWindowsStyleBind) {
  Bind bind;
  ASSERT_TRUE(decode_bind(kBind, &bind).is_ok());
  EXPECT_EQ(bind.max_xmit_frag, 5840);
  EXPECT_EQ(bind.max_recv_frag, 5840);
  EXPECT_EQ(bind.assoc_group_id, 0u);
  ASSERT_EQ(bind.contexts.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(bind.contexts[i].context_id, i);
    EXPECT_EQ(bind.contexts[i].abstract_syntax, replication_service_interface());
    ASSERT_EQ(bind.contexts[i].transfer_syntaxes.size(), 1u);
  }
  EXPECT_EQ(bind.contexts[0].transfer_syntaxes[0], ndr20_syntax());
  EXPECT_EQ(bind.contexts[1].transfer_syntaxes[0], ndr64_syntax());
  EXPECT_TRUE(is_btfn_syntax(bind.contexts[2].transfer_syntaxes[0]));
  EXPECT_EQ(btfn_features(bind.contexts[2].transfer_syntaxes[0]), 0x03);
}

TEST(BindTest, AlterContextSharesTheBody) {
  auto alter = encode_bind(7, pfc::kSingleFrag, trv_testing::windows_style_bind(0),
                           PacketType::AlterContext);
  EXPECT_EQ(alter[2], 14);
  Bind bind;
  ASSERT_TRUE(decode_bind(alter, &bind).is_ok());
  EXPECT_EQ(bind.contexts.size(), 3u);
}

TEST(BindTest, RejectsTruncatedAndInconsistentBinds) {
  Bind bind;
  // Every proper prefix, with frag_length patched to match, must fail
  // cleanly: a context list that runs past the end.
  for (std::size_t n = kCommonHeaderSize; n < kBind.size(); ++n) {
    std::vector<std::uint8_t> cut(kBind.begin(), kBind.begin() + n);
    put_u16(cut.data() + 8, static_cast<std::uint16_t>(n));
    EXPECT_FALSE(decode_bind(cut, &bind).is_ok()) << n;
  }
  // frag_length larger than the bytes given.
  std::vector<std::uint8_t> lying = kBind;
  lying.pop_back();
  EXPECT_FALSE(decode_bind(lying, &bind).is_ok());
  // A bind_ack is not a bind.
  EXPECT_FALSE(decode_bind(kBindAck, &bind).is_ok());
}

TEST(BindAckTest, EncodesTheDumpByteForByte) {
  BindAck ack;
  ack.max_xmit_frag = 5840;
  ack.max_recv_frag = 5840;
  ack.assoc_group_id = 0x5a17;
  ack.secondary_address = "40200";
  ack.results = {
      {context_result::kProviderRejection, provider_reason::kTransferSyntaxesNotSupported, {}},
      {context_result::kAcceptance, 0, ndr64_syntax()},
      {context_result::kNegotiateAck, 0x03, {}},
  };
  EXPECT_EQ(encode_bind_ack(1, pfc::kSingleFrag, ack), kBindAck);
}

TEST(BindAckTest, DecodesTheDump) {
  BindAck ack;
  ASSERT_TRUE(decode_bind_ack(kBindAck, &ack).is_ok());
  EXPECT_EQ(ack.max_xmit_frag, 5840);
  EXPECT_EQ(ack.assoc_group_id, 0x5a17u);
  EXPECT_EQ(ack.secondary_address, "40200");
  ASSERT_EQ(ack.results.size(), 3u);
  EXPECT_EQ(ack.results[0].result, context_result::kProviderRejection);
  EXPECT_EQ(ack.results[0].reason, provider_reason::kTransferSyntaxesNotSupported);
  EXPECT_EQ(ack.results[1].result, context_result::kAcceptance);
  EXPECT_EQ(ack.results[1].transfer_syntax, ndr64_syntax());
  EXPECT_EQ(ack.results[2].result, context_result::kNegotiateAck);
  EXPECT_TRUE(ack.results[2].transfer_syntax.uuid.is_nil());
}

// The result list starts at a multiple of 4 from the PDU start, whatever the
// secondary address length (NUL included).
TEST(BindAckTest, SecondaryAddressPadding) {
  EXPECT_EQ(bind_ack_result_list_offset(0), 28u);
  EXPECT_EQ(bind_ack_result_list_offset(4), 32u);
  EXPECT_EQ(bind_ack_result_list_offset(5), 32u);
  EXPECT_EQ(bind_ack_result_list_offset(6), 32u);
  EXPECT_EQ(bind_ack_result_list_offset(7), 36u);

  for (std::string address : {"", "135", "4747", "40200", "123456"}) {
    BindAck ack;
    ack.secondary_address = address;
    ack.results = {{context_result::kAcceptance, 0, ndr20_syntax()}};
    auto pdu = encode_bind_ack(9, pfc::kSingleFrag, ack);
    const std::size_t length = address.empty() ? 0 : address.size() + 1;
    EXPECT_EQ(get_u16(pdu.data() + 24), length);
    const std::size_t list = bind_ack_result_list_offset(length);
    EXPECT_EQ(list % 4, 0u);
    EXPECT_EQ(pdu[list], 1) << address;
    EXPECT_EQ(pdu.size(), list + 4 + 24);
    BindAck back;
    ASSERT_TRUE(decode_bind_ack(pdu, &back).is_ok()) << address;
    EXPECT_EQ(back.secondary_address, address);
    ASSERT_EQ(back.results.size(), 1u);
    EXPECT_EQ(back.results[0].transfer_syntax, ndr20_syntax());
  }
}

TEST(BindAckTest, AlterContextResponseWithoutAddress) {
  BindAck resp;
  resp.results = {{context_result::kAcceptance, 0, ndr64_syntax()}};
  auto pdu = encode_bind_ack(2, pfc::kSingleFrag, resp, PacketType::AlterContextResp);
  EXPECT_EQ(pdu[2], 15);
  EXPECT_EQ(pdu[28], 1);  // list right after two pad bytes
  BindAck back;
  ASSERT_TRUE(decode_bind_ack(pdu, &back).is_ok());
  EXPECT_TRUE(back.secondary_address.empty());
}

TEST(BindAckTest, RejectsResultListBeyondTheEnd) {
  BindAck ack;
  std::vector<std::uint8_t> pdu = kBindAck;
  pdu[32] = 4;  // claims four results, holds three
  EXPECT_FALSE(decode_bind_ack(pdu, &ack).is_ok());
  pdu = kBindAck;
  put_u16(pdu.data() + 24, 0xFFFF);  // address runs past the end
  EXPECT_FALSE(decode_bind_ack(pdu, &ack).is_ok());
}

TEST(BindNakTest, MatchesTheDump) {
  EXPECT_EQ(encode_bind_nak(1, reject_reason::kProtocolVersionNotSupported), kBindNakVersion);
  BindNak nak;
  ASSERT_TRUE(decode_bind_nak(kBindNakVersion, &nak).is_ok());
  EXPECT_EQ(nak.reject_reason, reject_reason::kProtocolVersionNotSupported);
  ASSERT_EQ(nak.versions.size(), 1u);
  EXPECT_EQ(nak.versions[0][0], 5);
  EXPECT_EQ(nak.versions[0][1], 0);
}

TEST(BindNakTest, ToleratesASignatureAfterTheVersions) {
  std::vector<std::uint8_t> pdu = kBindNakVersion;
  pdu.insert(pdu.end(), 16, 0xEE);
  put_u16(pdu.data() + 8, static_cast<std::uint16_t>(pdu.size()));
  BindNak nak;
  ASSERT_TRUE(decode_bind_nak(pdu, &nak).is_ok());
  EXPECT_EQ(nak.reject_reason, 4);
  // A version count beyond the PDU is cut at its end, not read past it.
  pdu = kBindNakVersion;
  pdu[18] = 200;
  ASSERT_TRUE(decode_bind_nak(pdu, &nak).is_ok());
  EXPECT_LE(nak.versions.size(), 3u);
}

TEST(RequestTest, MatchesTheOpenDeviceDump) {
  const std::uint8_t stub[2] = {3, 0};
  std::vector<std::uint8_t> pdu(kRequestHeaderSize + 2);
  encode_request_header(pdu.data(), pfc::kSingleFrag, 26, 2, 2, 1, 0);
  std::memcpy(pdu.data() + kRequestHeaderSize, stub, 2);
  EXPECT_EQ(pdu, kOpenRequest);
  Request r;
  r.alloc_hint = 2;
  r.context_id = 1;
  r.stub = stub;
  EXPECT_EQ(encode_request(2, r), kOpenRequest);

  CommonHeader header;
  Request back;
  ASSERT_TRUE(decode_request(kOpenRequest, &header, &back).is_ok());
  EXPECT_EQ(header.call_id, 2u);
  EXPECT_EQ(header.flags, pfc::kSingleFrag);
  EXPECT_EQ(back.alloc_hint, 2u);
  EXPECT_EQ(back.context_id, 1);
  EXPECT_EQ(back.opnum, 0);
  EXPECT_FALSE(back.object.has_value());
  ASSERT_EQ(back.stub.size(), 2u);
  EXPECT_EQ(back.stub[0], 3);
}

TEST(RequestTest, ObjectUuidMovesTheStub) {
  const std::uint8_t stub[4] = {1, 2, 3, 4};
  Request r;
  r.context_id = 0;
  r.opnum = 2;
  r.object = replication_service_interface().uuid;
  r.stub = stub;
  auto pdu = encode_request(5, r);
  EXPECT_EQ(pdu.size(), 24u + 16 + 4);
  EXPECT_EQ(pdu[3], pfc::kSingleFrag | pfc::kObjectUuid);
  CommonHeader header;
  Request back;
  ASSERT_TRUE(decode_request(pdu, &header, &back).is_ok());
  ASSERT_TRUE(back.object.has_value());
  EXPECT_EQ(*back.object, replication_service_interface().uuid);
  ASSERT_EQ(back.stub.size(), 4u);
  EXPECT_EQ(back.stub[3], 4);
  // The flag set but no room for the UUID.
  std::vector<std::uint8_t> short_pdu(pdu.begin(), pdu.begin() + 30);
  put_u16(short_pdu.data() + 8, 30);
  EXPECT_FALSE(decode_request(short_pdu, &header, &back).is_ok());
}

// The header alone of a fragment whose stub is read elsewhere: its fields,
// and the same refusals as a whole fragment's, plus an object UUID.
TEST(RequestTest, HeaderDecodesWithoutItsStub) {
  std::uint8_t head[kRequestHeaderSize];
  encode_request_header(head, 0, 5840, 9, 70000, 1, 2);
  CommonHeader header;
  Request request;
  ASSERT_TRUE(decode_request_header(head, &header, &request).is_ok());
  EXPECT_EQ(header.frag_length, 5840);
  EXPECT_EQ(header.call_id, 9u);
  EXPECT_EQ(request.alloc_hint, 70000u);
  EXPECT_EQ(request.context_id, 1);
  EXPECT_EQ(request.opnum, 2);
  EXPECT_TRUE(request.stub.empty());
  EXPECT_FALSE(decode_request_header(std::span(head, 23), &header, &request).is_ok());
  encode_request_header(head, pfc::kObjectUuid, 5840, 9, 0, 1, 2);
  EXPECT_FALSE(decode_request_header(head, &header, &request).is_ok());
  encode_request_header(head, 0, 20, 9, 0, 1, 2);  // shorter than the header
  EXPECT_FALSE(decode_request_header(head, &header, &request).is_ok());
  encode_request_header(head, 0, 5840, 9, 0, 1, 2);
  head[2] = static_cast<std::uint8_t>(PacketType::Response);
  EXPECT_FALSE(decode_request_header(head, &header, &request).is_ok());
  encode_request_header(head, 0, 5840, 9, 0, 1, 2);
  put_u16(head + 10, 16);  // an auth trailer
  EXPECT_FALSE(decode_request_header(head, &header, &request).is_ok());
}

TEST(ResponseTest, MatchesTheDumpAndTruncatesTheContextId) {
  const std::uint8_t stub[4] = {0x6b, 0, 0, 0};
  EXPECT_EQ(encode_response(2, 1, stub), kResponse107);
  auto wide = encode_response(2, 0x0301, stub);
  EXPECT_EQ(get_u16(wide.data() + 20), 0x0001);
  CommonHeader header;
  Response r;
  ASSERT_TRUE(decode_response(kResponse107, &header, &r).is_ok());
  EXPECT_EQ(r.alloc_hint, 4u);
  EXPECT_EQ(r.context_id, 1);
  ASSERT_EQ(r.stub.size(), 4u);
  EXPECT_EQ(get_u32(r.stub.data()), 107u);
}

TEST(FaultTest, MatchesTheDump) {
  auto fault = encode_fault(3, 1, 0x1C010002, true);
  EXPECT_EQ(std::vector<std::uint8_t>(fault.begin(), fault.end()), kFaultOpRange);
  CommonHeader header;
  Fault f;
  ASSERT_TRUE(decode_fault(kFaultOpRange, &header, &f).is_ok());
  EXPECT_EQ(header.flags, 0x23);
  EXPECT_EQ(f.status, 0x1C010002u);
  EXPECT_EQ(f.context_id, 1);
  auto plain = encode_fault(4, 0, 0x6F7, false);
  EXPECT_EQ(plain[3], pfc::kSingleFrag);
}

TEST(FaultTest, ExtendedErrorDataIsIgnoredButShortFaultsFail) {
  std::vector<std::uint8_t> pdu = kFaultOpRange;
  pdu.insert(pdu.end(), 8, 0);
  put_u16(pdu.data() + 8, static_cast<std::uint16_t>(pdu.size()));
  CommonHeader header;
  Fault f;
  EXPECT_TRUE(decode_fault(pdu, &header, &f).is_ok());
  std::vector<std::uint8_t> cut(kFaultOpRange.begin(), kFaultOpRange.begin() + 28);
  put_u16(cut.data() + 8, 28);
  EXPECT_FALSE(decode_fault(cut, &header, &f).is_ok());
}

class FragmentHeaderTest : public ::testing::Test {
 protected:
  bool accepts(const std::vector<std::uint8_t>& bytes) {
    CommonHeader header;
    return parse_fragment_header(bytes, &header).is_ok();
  }
  std::vector<std::uint8_t> good_ = kOpenRequest;
};

TEST_F(FragmentHeaderTest, AcceptsAWellFormedHeader) {
  CommonHeader header;
  ASSERT_TRUE(parse_fragment_header(good_, &header).is_ok());
  EXPECT_EQ(header.type, PacketType::Request);
  EXPECT_EQ(header.frag_length, 26);
  EXPECT_EQ(header.call_id, 2u);
  good_[1] = 1;  // 5.1
  EXPECT_TRUE(accepts(good_));
}

TEST_F(FragmentHeaderTest, RejectsWhatIsNotAConnectionPdu) {
  auto with = [&](std::size_t index, std::uint8_t value) {
    auto bytes = good_;
    bytes[index] = value;
    return bytes;
  };
  EXPECT_FALSE(accepts({good_.begin(), good_.begin() + 15}));
  EXPECT_FALSE(accepts(with(0, 4)));     // version 4
  EXPECT_FALSE(accepts(with(1, 2)));     // 5.2
  EXPECT_FALSE(accepts(with(2, 1)));     // ping: connectionless only
  EXPECT_FALSE(accepts(with(2, 10)));    // cancel_ack: connectionless only
  EXPECT_FALSE(accepts(with(2, 20)));    // rts: HTTP only
  EXPECT_FALSE(accepts(with(2, 0xFF)));  // unknown
  EXPECT_FALSE(accepts(with(4, 0x00)));  // big-endian
  EXPECT_FALSE(accepts(with(4, 0x11)));  // EBCDIC
  EXPECT_FALSE(accepts(with(5, 0x01)));  // VAX floats
  EXPECT_FALSE(accepts(with(8, 15)));    // frag_length below the header
  EXPECT_FALSE(accepts(with(10, 8)));    // authentication
  for (std::uint8_t type : {0, 2, 3, 11, 12, 13, 14, 15, 16, 17, 18, 19}) {
    EXPECT_TRUE(accepts(with(2, type))) << int(type);
  }
}

TEST(FaultMappingTest, TranslatesNcaStatusesAndPassesTheRestThrough) {
  EXPECT_EQ(status_from_fault(nca::kOpRngError), status::kProcnumOutOfRange);
  EXPECT_EQ(status_from_fault(nca::kUnkIf), status::kUnknownIf);
  EXPECT_EQ(status_from_fault(nca::kProtoError), status::kProtocolError);
  EXPECT_EQ(status_from_fault(nca::kServerTooBusy), status::kServerTooBusy);
  EXPECT_EQ(status_from_fault(nca::kFaultRemoteNoMemory), 1130);
  EXPECT_EQ(status_from_fault(nca::kManagerNotEntered), status::kCallFailedDne);
  EXPECT_EQ(status_from_fault(nca::kFaultUnspec), status::kCallFailed);
  EXPECT_EQ(status_from_fault(nca::kFaultContextMismatch), 6);
  EXPECT_EQ(status_from_fault(0x6F7), 1783);
  EXPECT_EQ(status_from_fault(5), 5);
  EXPECT_EQ(status_from_fault(12345), 12345);
  EXPECT_EQ(status_from_bind_nak(reject_reason::kTemporaryCongestion), 1723);
  EXPECT_EQ(status_from_bind_nak(reject_reason::kProtocolVersionNotSupported), 1728);
  EXPECT_EQ(status_from_bind_nak(reject_reason::kNotSpecified), 1727);
  EXPECT_EQ(status_from_rejected_context(2, 1), 1717);
}

}  // namespace
}  // namespace rpc
