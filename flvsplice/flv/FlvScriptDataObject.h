#pragma once

#include <memory>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/flv/FlvRawData.h"

// The payload of a script-data tag, kept uninterpreted as one raw range.
class FLVSPLICE_API CFlvScriptDataObject : public CFlvData {
public:
    CFlvScriptDataObject();
    ~CFlvScriptDataObject() override;

    bool Load(CFlvStream* source, int64_t end) override;
    bool Save(CFlvStream* output) override;

    std::unique_ptr<CFlvRawData> m_rawData;
};
