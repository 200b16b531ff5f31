#pragma once

#include <memory>
#include <string>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// The error stack every object of the library carries: pairs of message and
// detail, oldest first. A detail is empty or the decimal text of a system
// error code. A push with a source replaces this object's records by a copy
// of the source's records, then appends the new one, so a failure deep in an
// element ends as a chain on the document, deepest first.
class FLVSPLICE_API CFlvErrorHandler {
public:
    CFlvErrorHandler() = default;
    virtual ~CFlvErrorHandler();
    CFlvErrorHandler(const CFlvErrorHandler&) = delete;
    CFlvErrorHandler& operator=(const CFlvErrorHandler&) = delete;

    void PushError(const std::wstring& message, const std::wstring& detail = L"",
                   CFlvErrorHandler* source = nullptr);
    // index -1 is the newest record; an index outside the stack gives "".
    std::wstring GetErrorMessage(int index);
    std::wstring GetErrorDetail(int index);
    int GetErrorCount();

    // The stack as one text: the newest message first, then "詳細エラー:" and
    // the older messages, newest to oldest, each followed by the system's text
    // for its code when it has a detail.
    std::wstring FormatErrorText();

protected:
    // Records message with the decimal text of a system error code as detail.
    void PushSystemError(const std::wstring& message, int code);

private:
    // Both lists sit behind one pointer, created on first use: an element that
    // never fails costs one null pointer.
    struct Records {
        std::vector<std::wstring> m_messages;
        std::vector<std::wstring> m_details;
    };
    Records& EnsureRecords();

    std::unique_ptr<Records> m_records;
};
