// Value encodings, variable data and message layouts, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MessagingTestHelpers.h"
#include "sdk/Message.h"
#include "sdk/SdkMessages.h"
#include "sdk/VariableData.h"
#include "sdk/Wire.h"

namespace {

// The values the messages are made of are written big-endian as laid out here.
TEST(WireValues, EncodeBigEndianAsLaidOut) {
  ByteVector out;
  CWireWriter w(out);
  w.U8(0xAB);
  w.I32(-2);
  w.String(u"\u00e9A");
  w.String(u"");
  const uint8_t blob[] = {9, 8};
  w.Blob(blob);
  EXPECT_EQ(out, (ByteVector{0xAB, 0xFF, 0xFF, 0xFF, 0xFE, 0x00, 0x03, 0xC3, 0xA9, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0x02, 0x09, 0x08}));
}

// Reads past the end fail and stay failed; a string too long for its 16-bit count is cut
// between characters.
TEST(WireValues, ReadsPastTheEndFailAndTooLongStringsAreCut) {
  const ByteVector bytes = {0x05, 0x00, 0x03, 'a', 'b'};  // a byte, then a string cut short
  CWireReader r(bytes);
  std::u16string s;
  uint8_t u8;
  EXPECT_TRUE(r.U8(u8));
  EXPECT_FALSE(r.String(s));
  EXPECT_FALSE(r.U8(u8));
  EXPECT_FALSE(r.Ok());
  const ByteVector negativeBlob = {0xFF, 0xFF, 0xFF, 0xFF};
  ByteVector out;
  EXPECT_FALSE(CWireReader(negativeBlob).Blob(out));

  // 40000 two-byte characters: 80000 UTF-8 bytes.
  CWireWriter(out).String(std::u16string(40000, u'\u00e9'));
  ASSERT_EQ(Wire::GetU16(out.data()), 65534);
  ASSERT_EQ(out.size(), 2u + 65534);
  CWireReader cut(out);
  ASSERT_TRUE(cut.String(s));
  EXPECT_EQ(s, std::u16string(32767, u'\u00e9'));
}

// Fields are blobs of type and value. The server reads a command's text as a wide string, and
// a narrow one, UTF-8, is read as one too.
TEST(VariableData, FieldsAreBlobsOfTypeAndValueAndNarrowStringsReadAsWide) {
  CVariableData layout;
  layout.AddI32(7);
  layout.AddWideString(u"A");
  ByteVector out;
  CWireWriter lw(out);
  layout.Write(lw);
  EXPECT_EQ(out, (ByteVector{0, 0, 0, 2, 0, 0, 0, 5, 5, 0, 0, 0, 7, 0, 0, 0, 4, 10, 0, 1, 'A'}));
  EXPECT_EQ(layout.EncodedSize(), out.size());

  CVariableData data;
  data.AddI32(-123456);
  data.AddNarrowString("caf\xc3\xa9");
  out.clear();
  CWireWriter w(out);
  data.Write(w);
  CVariableData back;
  CWireReader r(out);
  ASSERT_TRUE(back.Read(r));
  int32_t number = 0;
  std::u16string text;
  ASSERT_TRUE(back.Extract({CVariableData::Out::I32(&number), CVariableData::Out::WideString(&text)}));
  EXPECT_EQ(number, -123456);
  EXPECT_EQ(text, u"caf\u00e9");
}

// A field of an unknown type or cut short is not read, nor is a negative or impossible count.
// (Too few fields and fields of the wrong type: the SDK server's malformed messages.)
TEST(VariableData, UnknownTypesShortValuesAndImpossibleCountsAreRefused) {
  using O = CVariableData::Out;
  int32_t a = 0;
  CVariableData one;
  one.AddI32(42);
  EXPECT_FALSE(one.Extract({O::I32(&a), O::I32(&a)}));  // more than there are
  for (const auto& [type, value] : {std::pair<uint8_t, ByteVector>{0, {0, 0, 0, 1}},
                                    {12, {0, 0, 0, 1}},
                                    {200, {0, 0, 0, 1}},
                                    {CVariableData::kI32, {0, 1}},
                                    {CVariableData::kI32, {}}}) {
    CVariableData field;
    field.AddRawField(type, value);
    EXPECT_FALSE(field.Extract({O::I32(&a)})) << int(type) << " " << value.size();
  }
  // Negative and impossible counts are not read.
  for (const ByteVector& bytes : {ByteVector{0xFF, 0xFF, 0xFF, 0xFF}, ByteVector{0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0},
                                  ByteVector{0, 0, 0, 1, 0, 0, 0, 9, 5}}) {
    CWireReader r(bytes);
    EXPECT_FALSE(CVariableData().Read(r));
  }
}

// Registration, request and response frames byte for byte; a response read back.
TEST(Messages, FramesAreLaidOutWithTheCorrelationIdOfBlockingKinds) {
  EXPECT_EQ(Bytes(CRegistrationMessage(7)), (ByteVector{0, 0, 0, 9, 0, 0, 0, 1, 1, 0, 0, 0, 7}));
  CEmptyRequestMessage request(6, 7);
  request.SetCorrelationId(0x01020304);
  EXPECT_EQ(Bytes(request), (ByteVector{0, 0, 0, 9, 0, 0, 0, 6, 2, 1, 2, 3, 4}));
  CStringResponseMessage response(11, 0xA0B0C0D0, u"log");
  EXPECT_EQ(Bytes(response), (ByteVector{0, 0, 0, 14, 0, 0, 0, 11, 3, 0xA0, 0xB0, 0xC0, 0xD0, 0, 3, 'l', 'o', 'g'}));
  CStringResponseMessage read(11, 0);
  ASSERT_TRUE(read.Read(*response.Write()));
  EXPECT_EQ(read.GetCorrelationId(), 0xA0B0C0D0);
  EXPECT_EQ(read.Text(), u"log");
}

// A status message is a count and records of number, state and name. Names read are cut to 31
// characters (a surrogate pair across the cut left out whole); impossible counts are refused.
TEST(Messages, StatusRecordsAreNumberStateAndName) {
  const CStatusMessage status({Receiver(1, 3, u"/dev/ttyACM0"), Receiver(0xFFFFFFFF, 2, u"")});
  ByteVector expected = {0, 0, 0, 26, 0, 0, 0, 8, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 3, 0, 12};
  for (char c : std::string("/dev/ttyACM0")) expected.push_back(static_cast<uint8_t>(c));
  for (uint8_t b : {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0}) expected.push_back(b);
  Wire::PutU32(expected.data(), static_cast<uint32_t>(expected.size() - 4));
  EXPECT_EQ(Bytes(status), expected);

  ByteVector body = AsyncBody(SdkMessage::kStatus);
  CWireWriter w(body);
  w.I32(1);
  w.I32(4);
  w.I32(1);
  w.String(std::u16string(40, u'r'));
  CStatusMessage read;
  ASSERT_TRUE(read.Read(*CMessageBuffer::FromBody(body)));
  ASSERT_EQ(read.Records().size(), 1u);
  EXPECT_EQ(CStatusMessage::NameOf(read.Records()[0]), std::u16string(31, u'r'));
  EXPECT_EQ(read.Records()[0].receiverName[31], u'\0');
  // A record whose name fills all 32 units, terminator missing, goes out cut to 31.
  ReceiverStatusW unterminated = Receiver(3, 2, u"");
  std::fill(std::begin(unterminated.receiverName), std::end(unterminated.receiverName), u'x');
  ASSERT_TRUE(read.Read(*CStatusMessage({unterminated}).Write()));
  EXPECT_EQ(CStatusMessage::NameOf(read.Records()[0]), std::u16string(31, u'x'));
  const std::u16string pairAt30 = std::u16string(30, u'a') + u"\U0001F600";
  EXPECT_EQ(CStatusMessage::NameOf(Receiver(1, 1, pairAt30)), std::u16string(30, u'a'));

  EXPECT_FALSE(read.Read(*CMessageBuffer::FromBody(AsyncBody(SdkMessage::kStatus, {0x10, 0, 0, 0, 0, 0, 0, 1}))));
  EXPECT_FALSE(read.Read(*CMessageBuffer::FromBody(AsyncBody(SdkMessage::kStatus, {0xFF, 0xFF, 0xFF, 0xFF}))));
}

}  // namespace
