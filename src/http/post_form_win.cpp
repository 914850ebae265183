#include "http/post_form.h"

#include <string>

#include "common/diagnostics.h"
#include "http/console_text.h"
#include "http/http_client_win.h"

struct PostSession::Kept {
    win::UniqueHInternet session;
};

PostSession::PostSession() = default;
PostSession::~PostSession() = default;

PostAnswer postForm(const std::wstring& url, const char* body, uint32_t length, const std::string& reportId,
                    PostSession* session)
{
    // Runs on the upload worker's thread: nothing may leave it as an exception.
    PostAnswer answer;
    try {
        HttpClient client(url);
        if (session != nullptr && session->kept) client.adoptSession(std::move(session->kept->session));
        // Without its private copy there is nothing to announce: the body is not sent at all
        // rather than sent with a length it does not have.
        if (client.setRequestBody(body, length)) {
            uint32_t announced = body != nullptr ? length : 0;
            std::wstring headers = L"Content-Length: " + std::to_wstring(announced) +
                                   L"\r\nContent-Type: application/x-www-form-urlencoded\r\n";
            if (!reportId.empty()) headers += L"TallyScope-Report-Id: " + std::wstring(reportId.begin(), reportId.end()) + L"\r\n";
            client.setExtraHeaders(headers);
            const bool whole = client.execute(L"POST");
            if (session != nullptr && whole) {
                if (!session->kept) session->kept.reset(new PostSession::Kept());
                session->kept->session = client.releaseSession();
            }
            // Whether the status keeps the report or ends it is the worker's call.
            answer.status = client.statusCode();
            if (answer.status == 0 && !client.status().empty()) answer.status = 999;  // a status line, however odd
            answer.retryAfterMs = client.retryAfterMs();
        }
        std::wstring text = client.getResponseText();
        diag::responseContent(toConsoleText(text).c_str());
    } catch (...) {
    }
    return answer;
}
