#include <gtest/gtest.h>

#include <vector>

#include "content/PacketContainer.h"

namespace {

using Bytes = std::vector<unsigned char>;

void Insert(PacketContainer& container, unsigned int part, const Bytes& bytes) {
  EXPECT_TRUE(container.insertPart(part, bytes.data(), static_cast<int>(bytes.size())));
}

// (Part numbers outside the total are refused before they reach the container: the bridge's.)
TEST(PacketContainerTest, PartsCombineInPartOrderOnceAllAreThere) {
  PacketContainer container(3);
  Insert(container, 2, {7, 8});
  Insert(container, 0, {1, 1, 1});
  EXPECT_TRUE(container.combineAllPacketParts().empty());
  Insert(container, 0, {1, 2, 3});  // sent twice: replaces the earlier copy and counts once
  EXPECT_FALSE(container.containsAllParts());
  Insert(container, 1, {});  // an empty part counts
  EXPECT_TRUE(container.containsAllParts());
  EXPECT_EQ(container.combineAllPacketParts(), (Bytes{1, 2, 3, 7, 8}));
}

}  // namespace
