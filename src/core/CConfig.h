#pragma once

#include <map>
#include <mutex>
#include <string>

namespace Nerra {

// A name-to-value map with a lock of its own; every operation holds it, so any thread may
// use the map at any time.
class CNameValueMap {
public:
    using CValues = std::map<std::string, std::string>;

    bool HasValue(const std::string& name);
    std::string GetValue(const std::string& name);
    void SetValue(const std::string& name, const std::string& value);
    void DelValue(const std::string& name);
    void ClearValues();
    // A copy of every pair, taken under one hold of the lock.
    CValues GetValues();

private:
    std::mutex m_Lock;
    CValues m_Values;
};

// The global settings, read once from config.xml before any service starts.
class CConfig : public CNameValueMap {
public:
    static CConfig& Instance();

    // Refuses names that are not runs of word characters joined by single hyphens.
    void SetValue(const std::string& name, const std::string& value);
    void LoadFromXml(const std::string& path);

    // A numeric setting: a whole number, within the range the setting accepts. Anything
    // else fails with a message naming the setting, its value and that range.
    long GetNumber(const std::string& name);
    // Reads and checks every setting the services use, so that a bad value ends start-up
    // instead of leaving a service that answers its console while a part of it cannot work.
    void CheckSettings();

    // The two fixed settings, "product-name" and "version", known before any file is read.
    static const char* ProductName();
    static const char* Version();
};

}  // namespace Nerra
