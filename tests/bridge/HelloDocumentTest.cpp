#include <gtest/gtest.h>

#include "bridge/HelloDocument.h"

TEST(HelloDocument, MacAddressIsEightUpperCaseBytesMostSignificantFirst) {
  EXPECT_EQ(Bridge::FormatMacAddress(0x00112233, 0x4455AAFF), u"00-11-22-33-44-55-AA-FF");
  EXPECT_EQ(Bridge::FormatMacAddress(0, 0), u"00-00-00-00-00-00-00-00");
  EXPECT_EQ(Bridge::FormatMacAddress(0xFEDCBA98, 0x0A0B0C0D), u"FE-DC-BA-98-0A-0B-0C-0D");
}
