// Helpers shared by the runtime's tests: a private registry file per test and
// short ways to write and read string values.
#pragma once

#include <optional>
#include <string>

#include "kovel/registry.h"

// Points $KOVEL_REGISTRY at a fresh file in a new folder for its lifetime.
class TempRegistry {
  public:
    TempRegistry();
    ~TempRegistry();
    TempRegistry(const TempRegistry&) = delete;
    TempRegistry& operator=(const TempRegistry&) = delete;
    const std::string& dir() const { return dir_; }
    const std::string& file() const { return file_; }

  private:
    std::string dir_, file_;
    std::optional<std::string> saved_;
};

LSTATUS SetString(const std::string& key, const char* name, const std::string& value);
std::optional<std::string> GetString(const std::string& key, const char* name);
std::string ClassKeyOf(const GUID& clsid);
