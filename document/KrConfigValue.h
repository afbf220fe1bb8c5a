#pragma once
// Reads one setting from a hand-written XML configuration file: the value of
// attribute `key` of the section elements inside the one application
// element inside the first root element. Never fails: whatever goes wrong
// (no file, empty file, malformed XML, missing elements), the caller gets
// `fallback`. The file is read afresh on every call; any thread may call.

#include <string>

std::string ReadConfigValue(const std::string& path, const std::string& rootName,
                            const std::string& appName, const std::string& section,
                            const std::string& key, const std::string& fallback);
