#include "QuestionBatch.h"

namespace SimContent {

std::optional<QuestionBatch> DecodeQuestionBatch(const std::vector<uint8_t>& p) {
  if (p.size() < 4) return std::nullopt;
  QuestionBatch batch;
  batch.sequence = static_cast<uint8_t>(p[0] >> 2);
  batch.feedback = static_cast<uint8_t>(p[0] & 3);
  batch.startOffset = p[1] / 2;
  batch.total = p[2];
  batch.remainingBefore = p[3];
  const int firstIndex = batch.total - batch.remainingBefore;  // questions sent in earlier batches
  for (size_t at = 4, k = 0; at + 6 <= p.size(); at += 6, ++k) {
    Question q;
    q.number = batch.startOffset + firstIndex + static_cast<int>(k) + 1;
    q.type = static_cast<uint8_t>(p[at] & 0x0F);
    q.choices = static_cast<uint8_t>(p[at] >> 4);
    for (size_t b = 0; b < 5; ++b) q.answer[b] = p[at + 1 + b];
    batch.questions.push_back(q);
  }
  return batch;
}

const Question* QuestionSet::Find(int number) const {
  for (const Question& q : questions)
    if (q.number == number) return &q;
  return nullptr;
}

void AddBatch(QuestionSet& set, const QuestionBatch& batch) {
  const bool continues = !set.questions.empty() && batch.sequence == set.sequence && batch.total == set.total &&
                         batch.remainingBefore < batch.total;
  if (!continues) {
    const uint64_t id = set.id + 1;
    set = QuestionSet();
    set.id = id;
    set.sequence = batch.sequence;
    set.feedback = batch.feedback;
    set.total = batch.total;
  }
  for (const Question& q : batch.questions) {
    bool replaced = false;
    for (Question& held : set.questions)
      if (held.number == q.number) held = q, replaced = true;
    if (!replaced) set.questions.push_back(q);
  }
}

std::optional<StudentResults> DecodeStudentResults(const std::vector<uint8_t>& p) {
  if (p.size() < 4) return std::nullopt;
  StudentResults r;
  r.percent = p[0];
  r.tenths = p[1];
  r.offset = p[2];
  r.count = p[3];
  r.payload = p;
  for (int k = 0; k < r.count; ++k) {
    const size_t byte = 4 + static_cast<size_t>(k / 8);
    r.grades.push_back(byte < p.size() && ((p[byte] >> (k % 8)) & 1) != 0);
  }
  return r;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case 0:
    case 1:
    case 2:
      return "choice";
    case 3:
      return "selection";
    case 4:
      return "ordering";
    case 5:
      return "decimal";
    case 6:
      return "fraction";
    case 11:
      return "short-answer";
    case 12:
      return "text";
    case 13:
      return "math";
    default:
      return "other";
  }
}

}  // namespace SimContent
