#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

// A packet written as comma-separated hexadecimal byte values ("0,0,a,1,2"): one byte per
// field, as many bytes as commas + 1. A field that is not hexadecimal becomes 0xFF; an empty
// field becomes 0.
std::vector<uint8_t> ParseCommandText(std::string_view text);
