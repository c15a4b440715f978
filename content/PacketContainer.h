#pragma once
#include <map>
#include <vector>

// Collects the parts of one multi-packet clicker answer and joins them once all have arrived.
// A value type: copies carry their parts.
class PacketContainer {
 public:
  explicit PacketContainer(unsigned int totalParts = 0);

  // Stores a copy of the bytes under the part number, replacing an earlier part of that
  // number. A null pointer or a negative length stores an empty part. Always true.
  bool insertPart(unsigned int partNumber, const unsigned char* bytes, int length);

  // True when as many parts are stored as the answer has (part numbers are not checked).
  bool containsAllParts() const;

  // The parts joined in ascending part-number order, or empty while parts are missing.
  // The reference stays valid until the next call or the container's end.
  const std::vector<unsigned char>& combineAllPacketParts();

  unsigned int totalParts() const { return m_totalParts; }
  unsigned int questionNumber() const { return m_questionNumber; }
  void setQuestionNumber(unsigned int questionNumber) { m_questionNumber = questionNumber; }

 private:
  std::map<unsigned int, std::vector<unsigned char>> m_parts;
  std::vector<unsigned char> m_combined;
  unsigned int m_totalParts;
  unsigned int m_questionNumber = 0;
};
