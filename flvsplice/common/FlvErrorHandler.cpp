#include "flvsplice/common/FlvErrorHandler.h"

#include <cerrno>
#include <climits>
#include <cwchar>

#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/platform/FlvSystem.h"

CFlvErrorHandler::~CFlvErrorHandler() = default;

CFlvErrorHandler::Records& CFlvErrorHandler::EnsureRecords() {
    if (!m_records) {
        m_records = std::make_unique<Records>();
        CFlvElementPool::NoteOutsideMemory(this);
    }
    return *m_records;
}

void CFlvErrorHandler::PushError(const std::wstring& message, const std::wstring& detail,
                                 CFlvErrorHandler* source) {
    Records& records = EnsureRecords();
    if (source != nullptr && source != this) {
        // Replace, not append: this object's chain becomes the source's.
        records = source->m_records ? *source->m_records : Records{};
    }
    records.m_messages.push_back(message);
    records.m_details.push_back(detail);
}

void CFlvErrorHandler::PushSystemError(const std::wstring& message, int code) {
    PushError(message, std::to_wstring(code));
}

namespace {

std::wstring RecordAt(const std::vector<std::wstring>& list, int index) {
    const int count = static_cast<int>(list.size());
    if (index == -1) index = count - 1;
    if (index < 0 || index >= count) return std::wstring();
    return list[static_cast<size_t>(index)];
}

}  // namespace

std::wstring CFlvErrorHandler::GetErrorMessage(int index) {
    return RecordAt(EnsureRecords().m_messages, index);
}

std::wstring CFlvErrorHandler::GetErrorDetail(int index) {
    return RecordAt(EnsureRecords().m_details, index);
}

int CFlvErrorHandler::GetErrorCount() {
    return m_records ? static_cast<int>(m_records->m_messages.size()) : 0;
}

namespace {

// A detail is the decimal text of a system error code. Anything else (it can
// only come from a caller's own PushError) reads as far as it is a number.
int DetailCode(const std::wstring& detail) {
    wchar_t* end = nullptr;
    errno = 0;
    const long value = std::wcstol(detail.c_str(), &end, 10);
    if (errno == ERANGE || value > INT_MAX || value < INT_MIN) return 0;
    return static_cast<int>(value);
}

void AppendRecord(std::wstring& text, const std::wstring& message, const std::wstring& detail) {
    text += message;
    if (!detail.empty()) {
        text += L"( ";
        text += detail;
        text += L" : ";
        text += flvsys::SystemErrorText(DetailCode(detail));
        text += L")";
    }
}

}  // namespace

std::wstring CFlvErrorHandler::FormatErrorText() {
    std::wstring text;
    const int count = GetErrorCount();
    if (count == 0) return text;
    AppendRecord(text, GetErrorMessage(count - 1), GetErrorDetail(count - 1));
    if (count > 1) {
        text += L"\n詳細エラー:";
        for (int i = count - 2; i >= 0; --i) {
            text += L"\n";
            AppendRecord(text, GetErrorMessage(i), GetErrorDetail(i));
        }
    }
    return text;
}
