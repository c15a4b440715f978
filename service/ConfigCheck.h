#pragma once
#include <cstdio>
#include <functional>
#include <string>

// `ovanta-hardware --check-config`: reads every setting as the service would, prints the value
// in effect and where it comes from on `out`, and one line per problem on `err`, each naming the
// setting: a number that does not read as one, a value under the hardware-service or
// software-service keys that the service never reads, a file or directory it could not write,
// a software-service address it cannot connect to. Where a value in the preference subkey hides
// a different one in the plain key, a warning says so. Starts nothing and writes nothing.
// Returns 0 without problems (warnings allowed), else 1.
struct ConfigCheckEnvironment {
  // Whether this process may create files in the existing directory; empty answers use the
  // operating system's own check.
  std::function<bool(const std::string& directory)> canWrite;
};
int CheckConfiguration(std::FILE* out, std::FILE* err, const ConfigCheckEnvironment& environment = {});
