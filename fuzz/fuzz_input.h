// What every fuzz target needs: a file of its own that holds the input, for
// the parsers that read files.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kovel::fuzz {

// A path under $TMPDIR (else /tmp) that no other process uses.
inline std::string InputPath(const char* tag, const char* extension) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + tag + "_" + std::to_string(getpid()) + extension;
}

// Replaces the file's content with the input.
inline bool WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}  // namespace kovel::fuzz
