#include <gtest/gtest.h>

#include <vector>

#include "content/PacketContainer.h"

namespace {

using Bytes = std::vector<unsigned char>;

void Insert(PacketContainer& container, unsigned int part, const Bytes& bytes) {
  EXPECT_TRUE(container.insertPart(part, bytes.data(), static_cast<int>(bytes.size())));
}

TEST(PacketContainerTest, PartsCombineInPartOrderOnceAllAreThere) {
  PacketContainer container(3);
  Insert(container, 2, {7, 8});
  Insert(container, 0, {1, 1, 1});
  EXPECT_TRUE(container.combineAllPacketParts().empty());
  Insert(container, 0, {1, 2, 3});  // sent twice: replaces the earlier copy and counts once
  EXPECT_FALSE(container.containsAllParts());
  Insert(container, 1, {4});
  EXPECT_TRUE(container.containsAllParts());
  EXPECT_EQ(container.combineAllPacketParts(), (Bytes{1, 2, 3, 4, 7, 8}));
  // Too many parts is not complete either, and the earlier result is forgotten.
  Insert(container, 5, {3});
  EXPECT_FALSE(container.containsAllParts());
  EXPECT_TRUE(container.combineAllPacketParts().empty());

  // Part numbers are not compared with the total.
  PacketContainer numbered(3);
  Insert(numbered, 7, {70});
  Insert(numbered, 0, {0});
  Insert(numbered, 1, {10});
  EXPECT_EQ(numbered.combineAllPacketParts(), (Bytes{0, 10, 70}));
}

TEST(PacketContainerTest, EmptyAndInvalidPartsAreStoredEmpty) {
  PacketContainer container(3);
  const unsigned char byte = 42;
  EXPECT_TRUE(container.insertPart(0, &byte, 0));
  EXPECT_TRUE(container.insertPart(1, nullptr, 16));
  EXPECT_TRUE(container.insertPart(2, &byte, -5));
  EXPECT_TRUE(container.containsAllParts());
  EXPECT_TRUE(container.combineAllPacketParts().empty());
}

}  // namespace
