#pragma once
// What a receiver reads from the service's question batches and student results.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace SimContent {

// One question of a batch: its number on the clickers (from 1), type code, choice count and
// the five answer bytes (the correct answer's codes, where the format has them).
struct Question {
  int number = 0;
  uint8_t type = 0;
  uint8_t choices = 0;
  std::array<uint8_t, 5> answer{};
};

// A QUESTION_BATCH payload: (sequence << 2 | feedback), twice the start offset, the total,
// the number of questions not yet sent before this batch, then six bytes per question.
struct QuestionBatch {
  uint8_t sequence = 0;  // 0..63
  uint8_t feedback = 0;  // 0..3
  int startOffset = 0;
  int total = 0;
  int remainingBefore = 0;
  std::vector<Question> questions;
};

// Nothing when the payload is shorter than its four header bytes; a trailing partial group
// is ignored.
std::optional<QuestionBatch> DecodeQuestionBatch(const std::vector<uint8_t>& payload);

// The questions a receiver holds for its clickers: batches of one assessment run (same
// sequence number, continuing where the previous batch ended) add up; any other batch
// starts over.
struct QuestionSet {
  uint64_t id = 0;  // the holder's own count of sets, to tell repeated numbers apart
  uint8_t sequence = 0;
  uint8_t feedback = 0;
  int total = 0;
  std::vector<Question> questions;
  bool empty() const { return questions.empty(); }
  const Question* Find(int number) const;
};
void AddBatch(QuestionSet& set, const QuestionBatch& batch);

// A STUDENT_RESULTS payload: score percent, its tenths digit, question number offset,
// question count, one grade bit per question (least significant bit first).
struct StudentResults {
  int percent = 0;
  int tenths = 0;
  int offset = 0;
  int count = 0;
  std::vector<bool> grades;  // count entries, false where a grade byte is missing
  std::vector<uint8_t> payload;
};
std::optional<StudentResults> DecodeStudentResults(const std::vector<uint8_t>& payload);

// "choice", "selection", "ordering", "decimal", "fraction", "short-answer", "text", "math" or
// "other", by type code.
const char* TypeName(uint8_t type);

}  // namespace SimContent
