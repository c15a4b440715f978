#pragma once
#include <fstream>
#include <sstream>
#include <string>

// The software service's sample documents the client tests read.
inline std::string ReadTestData(const std::string& name) {
  std::ifstream in(std::string(OVANTA_CLIENT_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}
