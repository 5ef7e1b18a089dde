#ifndef ANALYZE_SHA256_H
#define ANALYZE_SHA256_H

#include <cstdint>
#include <string>

// The SHA-256 digest of a file in lower-case hex, and its size; false with
// errno set when it cannot be read.
bool sha256_file(const char *path, std::string *hex, uint64_t *size);

#endif
