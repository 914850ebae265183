#include "http/post_form.h"

#include <string>

#include "common/diagnostics.h"
#include "http/console_text.h"
#include "http/http_client_win.h"

int postForm(const std::wstring& url, const char* body, uint32_t length)
{
    // Runs on the upload worker's thread: nothing may leave it as an exception.
    int answered = 0;
    try {
        HttpClient client(url);
        // Without its private copy there is nothing to announce: the body is not sent at all
        // rather than sent with a length it does not have.
        if (client.setRequestBody(body, length)) {
            uint32_t announced = body != nullptr ? length : 0;
            client.setExtraHeaders(L"Content-Length: " + std::to_wstring(announced) +
                                   L"\r\nContent-Type: application/x-www-form-urlencoded\r\n");
            client.execute(L"POST");
            // A status line is an answer, whatever it says: such a body is never sent again.
            answered = client.status().empty() ? 0 : 1;
        }
        std::wstring text = client.getResponseText();
        diag::responseContent(toConsoleText(text).c_str());
    } catch (...) {
    }
    return answered;
}
