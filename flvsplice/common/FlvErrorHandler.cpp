#include "flvsplice/common/FlvErrorHandler.h"

#include <cerrno>
#include <climits>
#include <cwchar>

#include "flvsplice/platform/FlvSystem.h"

CFlvErrorHandler::CFlvErrorHandler() = default;
CFlvErrorHandler::~CFlvErrorHandler() = default;

void CFlvErrorHandler::EnsureLists() {
    if (!m_messages) m_messages = std::make_unique<std::vector<std::wstring>>();
    if (!m_details) m_details = std::make_unique<std::vector<std::wstring>>();
}

void CFlvErrorHandler::PushError(const std::wstring& message, const std::wstring& detail,
                                 CFlvErrorHandler* source) {
    EnsureLists();
    if (source != nullptr && source != this) {
        std::vector<std::wstring> messages;
        std::vector<std::wstring> details;
        if (source->m_messages) messages = *source->m_messages;
        if (source->m_details) details = *source->m_details;
        details.resize(messages.size());
        *m_messages = std::move(messages);
        *m_details = std::move(details);
    }
    m_messages->push_back(message);
    m_details->push_back(detail);
}

void CFlvErrorHandler::PushSystemError(const std::wstring& message, int code) {
    PushError(message, std::to_wstring(code));
}

std::wstring CFlvErrorHandler::GetErrorMessage(int index) {
    EnsureLists();
    const int count = static_cast<int>(m_messages->size());
    if (count == 0) return std::wstring();
    if (index == -1) index = count - 1;
    if (index < 0 || index >= count) return std::wstring();
    return (*m_messages)[static_cast<size_t>(index)];
}

std::wstring CFlvErrorHandler::GetErrorDetail(int index) {
    EnsureLists();
    const int count = static_cast<int>(m_details->size());
    if (count == 0) return std::wstring();
    if (index == -1) index = count - 1;
    if (index < 0 || index >= count) return std::wstring();
    return (*m_details)[static_cast<size_t>(index)];
}

int CFlvErrorHandler::GetErrorCount() {
    return m_messages ? static_cast<int>(m_messages->size()) : 0;
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
