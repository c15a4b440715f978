#pragma once
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "sdk/Wire.h"

// A self-describing list of typed fields: a signed 32-bit field count, then each field as a
// blob whose first byte is the field's type and whose rest is the value.
class CVariableData {
 public:
  enum Type : uint8_t {
    kByte = 1,
    kBool = 2,
    kNarrowChar = 3,
    kU16 = 4,
    kI32 = 5,
    kFloat = 6,
    kDouble = 7,
    kNarrowString = 8,
    kBlob = 9,
    kWideString = 10,
    kWideChar = 11,
  };

  // Where one extracted field goes: the type expected and a destination of that type.
  class Out {
   public:
    static Out Byte(uint8_t* to) { return {kByte, to}; }
    static Out Bool(bool* to) { return {kBool, to}; }
    static Out NarrowChar(char* to) { return {kNarrowChar, to}; }
    static Out U16(uint16_t* to) { return {kU16, to}; }
    static Out I32(int32_t* to) { return {kI32, to}; }
    static Out Float(float* to) { return {kFloat, to}; }
    static Out Double(double* to) { return {kDouble, to}; }
    static Out NarrowString(std::string* to) { return {kNarrowString, to}; }
    static Out Blob(std::vector<uint8_t>* to) { return {kBlob, to}; }
    static Out WideString(std::u16string* to) { return {kWideString, to}; }
    static Out WideChar(char16_t* to) { return {kWideChar, to}; }

    uint8_t type() const { return m_type; }

   private:
    friend class CVariableData;
    Out(uint8_t type, void* to) : m_type(type), m_to(to) {}
    uint8_t m_type;
    void* m_to;
  };

  void AddByte(uint8_t value);
  void AddBool(bool value);
  void AddNarrowChar(char value);
  void AddU16(uint16_t value);
  void AddI32(int32_t value);
  void AddFloat(float value);
  void AddDouble(double value);
  void AddNarrowString(std::string_view utf8);
  void AddBlob(std::span<const uint8_t> bytes);
  void AddWideString(std::u16string_view text);
  void AddWideChar(char16_t value);
  // A field exactly as given: its type byte and its value bytes.
  void AddRawField(uint8_t type, std::span<const uint8_t> value);

  // Fills the destinations from the first fields, in order. False when there are no
  // destinations or more than fields, when a field's type is not the one expected (narrow
  // and wide chars are interchangeable, so are narrow and wide strings), when a type is
  // unknown, or when a value is cut short; the fields before the failing one are filled.
  bool Extract(std::initializer_list<Out> outs) const {
    return Extract(std::span<const Out>(outs.begin(), outs.size()));
  }
  bool Extract(std::span<const Out> outs) const;

  size_t FieldCount() const { return m_fields.size(); }
  // The type byte of a field (0 for an empty field).
  uint8_t FieldType(size_t index) const { return m_fields[index].empty() ? 0 : m_fields[index][0]; }

  size_t EncodedSize() const;
  void Write(CWireWriter& out) const;
  // Reads the count and the fields; false when the count is negative or a field is cut short.
  bool Read(CWireReader& in);

 private:
  std::vector<uint8_t>& NewField(uint8_t type);

  // Each field as sent: type byte, then the value's encoding.
  std::vector<std::vector<uint8_t>> m_fields;
};
