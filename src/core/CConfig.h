#pragma once

#include <map>
#include <string>

#include "runtime/CLock.h"

namespace Nerra {

class CMessageHeader;

// A name-to-value map that is its own lock; every operation holds it, so any thread may
// use the map at any time.
class CNameValueMap : public CLock {
public:
    bool HasValue(const std::string& name);
    std::string GetValue(const std::string& name);
    void SetValue(const std::string& name, const std::string& value);
    void DelValue(const std::string& name);
    void ClearValues();

protected:
    std::map<std::string, std::string> m_Values;
};

// The global settings, read once from config.xml before any service starts.
class CConfig : public CNameValueMap {
public:
    static CConfig& Instance();

    // Refuses names that are not runs of word characters joined by single hyphens.
    void SetValue(const std::string& name, const std::string& value);
    void LoadFromXml(const std::string& path);
    // Copies every setting into a header as an "x-nerra-" field, all under one lock.
    void InsertValuesToHeader(CMessageHeader& header);

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

// Spool files queued for training: lower-cased file name to the mailbox to train into.
CNameValueMap& TrainingTable();

}  // namespace Nerra
