#include <gtest/gtest.h>

#include <vector>

#include "content/PacketContainer.h"

namespace {

using Bytes = std::vector<unsigned char>;

void Insert(PacketContainer& container, unsigned int part, const Bytes& bytes) {
  EXPECT_TRUE(container.insertPart(part, bytes.data(), static_cast<int>(bytes.size())));
}

TEST(PacketContainerTest, PartsArrivingOutOfOrderCombineInPartOrder) {
  PacketContainer container(3);
  Insert(container, 2, {7, 8});
  EXPECT_FALSE(container.containsAllParts());
  Insert(container, 0, {1, 2, 3});
  Insert(container, 1, {4});
  EXPECT_TRUE(container.containsAllParts());
  EXPECT_EQ(container.combineAllPacketParts(), (Bytes{1, 2, 3, 4, 7, 8}));
}

TEST(PacketContainerTest, PartSentTwiceReplacesTheEarlierCopyAndCountsOnce) {
  PacketContainer container(2);
  Insert(container, 0, {1, 1, 1});
  Insert(container, 0, {9});
  EXPECT_FALSE(container.containsAllParts());
  Insert(container, 1, {2});
  EXPECT_EQ(container.combineAllPacketParts(), (Bytes{9, 2}));
}

TEST(PacketContainerTest, PartNumbersAreNotComparedWithTheTotal) {
  PacketContainer container(3);
  Insert(container, 7, {70});
  Insert(container, 0, {0});
  Insert(container, 1, {10});
  EXPECT_TRUE(container.containsAllParts());
  EXPECT_EQ(container.combineAllPacketParts(), (Bytes{0, 10, 70}));
}

TEST(PacketContainerTest, IncompleteContainerCombinesToNothingAndForgetsAnEarlierResult) {
  PacketContainer container(2);
  Insert(container, 0, {1});
  Insert(container, 1, {2});
  EXPECT_EQ(container.combineAllPacketParts().size(), 2u);

  PacketContainer missing(2);
  Insert(missing, 1, {5});
  EXPECT_TRUE(missing.combineAllPacketParts().empty());

  // Too many parts is not complete either.
  Insert(container, 5, {3});
  EXPECT_FALSE(container.containsAllParts());
  EXPECT_TRUE(container.combineAllPacketParts().empty());
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

TEST(PacketContainerTest, CopiesAreIndependentValues) {
  PacketContainer original(2);
  original.setQuestionNumber(12);
  Insert(original, 0, {1});

  PacketContainer copy = original;
  Insert(copy, 1, {2});
  EXPECT_EQ(copy.questionNumber(), 12u);
  EXPECT_EQ(copy.totalParts(), 2u);
  EXPECT_EQ(copy.combineAllPacketParts(), (Bytes{1, 2}));
  EXPECT_FALSE(original.containsAllParts());

  PacketContainer assigned(9);
  assigned = copy;
  EXPECT_EQ(assigned.totalParts(), 2u);
  EXPECT_EQ(assigned.combineAllPacketParts(), (Bytes{1, 2}));
}

}  // namespace
