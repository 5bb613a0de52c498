#pragma once

#include <cstdint>
#include <memory>

#include "VEXLock.h"
#include "VEXString.h"
#include "XmlHandles.h"

struct _xmlNode;

class IVEXIPMIConfiguration
{
public:
    virtual bool Initialize() = 0;
    virtual bool GetConfigInt(const VEXString& key, int32_t& value) = 0;
    virtual void SetConfigurationFileName(const VEXString& name) = 0;
    virtual ~IVEXIPMIConfiguration() = default;
    virtual void Release() = 0;
};

// Retry settings from an XML file shaped
//   <AnyRoot><Any name="Default"><Any name="Default">
//     <RetryCount>3</RetryCount> ...
// The file name is relative to the working directory. One reader is shared
// by the sessions of every thread, so each call holds the reader's lock.
class VEXIPMIXMLConfig : public IVEXIPMIConfiguration
{
public:
    explicit VEXIPMIXMLConfig(const VEXString& fileName);
    ~VEXIPMIXMLConfig() override;
    VEXIPMIXMLConfig(const VEXIPMIXMLConfig&) = delete;
    VEXIPMIXMLConfig& operator=(const VEXIPMIXMLConfig&) = delete;

    // Parses the file once; true when a document is held.
    bool Initialize() override;
    // The key's decimal value below the default node; false when the file,
    // the node or the key is missing. Text that is not a number gives 0.
    bool GetConfigInt(const VEXString& key, int32_t& value) override;
    // A new name drops the document parsed from the old one.
    void SetConfigurationFileName(const VEXString& name) override;
    // Frees the document; the next query parses again.
    void Release() override;

    // Files above this size are not parsed: a settings file is a few hundred
    // bytes, and a huge one must not hold up the request path.
    static constexpr uint64_t kMaxFileSize = 1024 * 1024;

private:
    // Initialize with the reader's lock already held (`held` proves it); it
    // logs under the name of the call it serves.
    bool Initialize(const VEXScopedLock& held);
    void ReleaseLocked();
    _xmlNode* FindDefaultNode();

    VEXString m_FileName;
    bool m_bParsed = false;
    XmlDocHandle m_Doc;
    _xmlNode* m_DefaultNode = nullptr;
    VEXLock m_Lock;
};
