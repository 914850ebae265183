// Drives the HTTP engine from the command line for the Python tests:
//   post_probe form URL BODY          postForm(URL, BODY), as the upload worker calls it
//   post_probe execute URL VERB BODY  one HttpClient::execute with the form header block, then a
//                                     "result=... error=... status=... sends=... length=...
//                                     terminated=..." line, "units=" with the answer's UTF-16
//                                     units in hex (up to 4096 of them) and the answer text
//   post_probe tls-control URL        a bare WinHTTP POST that ignores certificate errors, printing
//                                     "status=..." (shows that TLS itself works in this Wine)
//   post_probe trust|distrust PEM     adds the certificate to, or removes it from, the trusted roots
//                                     of the local machine (the Wine prefix), printing "trust=1"
//   post_probe bare URL FILE          posts each line of FILE ("<report id or -> <body>") one after
//                                     another with plain WinHTTP and a fresh session each, printing
//                                     "posts=... answered=... total_ms=...": the floor a drain of
//                                     the same bodies is measured against
// BODY is "none" (no body), "text:CHARS" or "size:N" (N bytes cycling through a-z).
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "http/console_text.h"
#include "http/http_client_win.h"
#include "http/post_form.h"
#include "win_handles.h"

namespace {

std::wstring widen(const char* text)
{
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, &out[0], units);
    out.resize(static_cast<size_t>(units - 1));
    return out;
}

bool parseBody(const char* argument, std::string& body, bool& present)
{
    present = true;
    if (std::strcmp(argument, "none") == 0) {
        present = false;
        return true;
    }
    if (std::strncmp(argument, "text:", 5) == 0) {
        body = argument + 5;
        return true;
    }
    if (std::strncmp(argument, "size:", 5) == 0) {
        long n = std::strtol(argument + 5, nullptr, 10);
        if (n < 0) return false;
        body.clear();
        for (long i = 0; i < n; ++i) body.push_back(static_cast<char>('a' + i % 26));
        return true;
    }
    return false;
}

// The host, port and path of URL, in buffers of the sizes WinHTTP's own limits allow.
struct CrackedUrl {
    wchar_t host[260] = {};
    wchar_t path[1300] = {};
    URL_COMPONENTS parts = {};
    bool crack(const std::wstring& url)
    {
        parts.dwStructSize = sizeof parts;
        parts.lpszHostName = host;
        parts.dwHostNameLength = 260;
        parts.lpszUrlPath = path;
        parts.dwUrlPathLength = 1300;
        return WinHttpCrackUrl(url.c_str(), 0, 0, &parts) != FALSE;
    }
};

// Deliberately outside the engine: the engine must never accept a certificate it cannot verify.
int tlsControl(const std::wstring& url)
{
    CrackedUrl cracked;
    if (!cracked.crack(url)) return 1;
    const wchar_t* host = cracked.host;
    const wchar_t* path = cracked.path;
    const URL_COMPONENTS& parts = cracked.parts;
    win::UniqueHInternet session(WinHttpOpen(L"TallyScope probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
    win::UniqueHInternet connection(session ? WinHttpConnect(session.get(), host, parts.nPort, 0) : nullptr);
    win::UniqueHInternet request(connection ? WinHttpOpenRequest(connection.get(), L"POST", path, nullptr,
                                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                                 WINHTTP_FLAG_SECURE)
                                            : nullptr);
    if (!request) return 1;
    DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                   SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore);
    DWORD status = 0;
    DWORD size = sizeof status;
    if (WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<char*>("x=1"), 3, 3, 0) &&
        WinHttpReceiveResponse(request.get(), nullptr)) {
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    }
    std::printf("status=%lu error=%lu\n", static_cast<unsigned long>(status), static_cast<unsigned long>(GetLastError()));
    return 0;
}

// The test's own certificate authority goes into the prefix's root store, so the engine's ordinary
// certificate checks accept the collector's certificate; nothing in the engine is relaxed for it.
int trustRoot(const char* pemPath, bool add)
{
    std::string pem;
    if (FILE* file = std::fopen(pemPath, "rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) != 0;) pem.append(chunk, n);
        std::fclose(file);
    }
    DWORD derBytes = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &derBytes, nullptr, nullptr)) {
        return 1;
    }
    std::string der(derBytes, '\0');
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              reinterpret_cast<BYTE*>(&der[0]), &derBytes, nullptr, nullptr)) {
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return 1;
    BOOL done = FALSE;
    if (add) {
        done = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                derBytes, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    } else if (PCCERT_CONTEXT wanted = CertCreateCertificateContext(
                   X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), derBytes)) {
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted,
                                                          nullptr);
        done = found != nullptr && CertDeleteCertificateFromStore(found);  // frees found either way
        CertFreeCertificateContext(wanted);
    }
    CertCloseStore(store, 0);
    std::printf("trust=%d\n", done ? 1 : 0);
    return done ? 0 : 1;
}

// The same request the upload worker makes (verb, path, headers, body), with nothing of the
// engine around it: one session, connection and request per body, closed after its answer.
bool barePost(const std::wstring& host, INTERNET_PORT port, const std::wstring& path, const std::string& id,
              const std::string& body)
{
    win::UniqueHInternet session(WinHttpOpen(L"TallyScope probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                             WINHTTP_NO_PROXY_BYPASS, 0));
    win::UniqueHInternet connection(session ? WinHttpConnect(session.get(), host.c_str(), port, 0) : nullptr);
    win::UniqueHInternet request(connection ? WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                            : nullptr);
    if (!request) return false;
    std::wstring headers = L"Content-Type: application/x-www-form-urlencoded\r\n";
    if (id != "-") headers += L"TallyScope-Report-Id: " + std::wstring(id.begin(), id.end()) + L"\r\n";
    if (!WinHttpSendRequest(request.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                            const_cast<char*>(body.data()), static_cast<DWORD>(body.size()),
                            static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    char chunk[4096];
    for (DWORD read = 0; WinHttpReadData(request.get(), chunk, sizeof chunk, &read) && read != 0;) {
    }
    return true;
}

int barePosts(const std::wstring& url, const char* listPath)
{
    CrackedUrl cracked;
    if (!cracked.crack(url)) return 1;
    const wchar_t* host = cracked.host;
    const wchar_t* path = cracked.path;
    const URL_COMPONENTS& parts = cracked.parts;
    std::vector<std::pair<std::string, std::string>> posts;
    if (FILE* file = std::fopen(listPath, "rb")) {
        std::string line;
        for (int c; (c = std::fgetc(file)) != EOF;) {
            if (c != '\n') {
                line.push_back(static_cast<char>(c));
                continue;
            }
            const size_t space = line.find(' ');
            if (space != std::string::npos) posts.emplace_back(line.substr(0, space), line.substr(space + 1));
            line.clear();
        }
        std::fclose(file);
    }
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&start);
    int answered = 0;
    for (const auto& post : posts) answered += barePost(host, parts.nPort, path, post.first, post.second) ? 1 : 0;
    QueryPerformanceCounter(&end);
    QueryPerformanceFrequency(&frequency);
    std::printf("posts=%u answered=%d total_ms=%.3f\n", static_cast<unsigned>(posts.size()), answered,
                1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: post_probe form URL BODY | post_probe execute URL VERB BODY\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string body;
    bool present = false;
    if (argc == 4 && std::strcmp(argv[1], "form") == 0) {
        if (!parseBody(argv[3], body, present)) return usage();
        postForm(widen(argv[2]), present ? body.data() : nullptr, static_cast<uint32_t>(body.size()));
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "execute") == 0) {
        if (!parseBody(argv[4], body, present)) return usage();
        HttpClient client(widen(argv[2]));
        if (present) {
            client.setRequestBody(body.data(), static_cast<uint32_t>(body.size()));
            client.setExtraHeaders(L"Content-Length: " + std::to_wstring(body.size()) +
                                   L"\r\nContent-Type: application/x-www-form-urlencoded\r\n");
        }
        bool result = client.execute(widen(argv[3]));
        const char* bytes = client.bodyBytes();
        int terminated = bytes != nullptr && bytes[client.bodyLength()] == '\0';
        std::printf("result=%d error=%lu status=%s sends=%d length=%lu capacity=%lu terminated=%d\n", result ? 1 : 0,
                    static_cast<unsigned long>(client.lastError()), toConsoleText(client.status()).c_str(),
                    client.sendCount(), static_cast<unsigned long>(client.bodyLength()),
                    static_cast<unsigned long>(client.bodyCapacity()), terminated);
        // The text's UTF-16 units in hex, for short answers, so that a test sees exactly what was
        // decoded whatever the console can show.
        std::wstring text = client.getResponseText();
        std::printf("units=");
        if (text.size() <= 4096) {
            for (wchar_t unit : text) std::printf("%04x", static_cast<unsigned>(unit));
        } else {
            std::printf("-");
        }
        std::printf("\ntext:\n%s\n", toConsoleText(text).c_str());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "tls-control") == 0) return tlsControl(widen(argv[2]));
    if (argc == 4 && std::strcmp(argv[1], "bare") == 0) return barePosts(widen(argv[2]), argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "trust") == 0) return trustRoot(argv[2], true);
    if (argc == 3 && std::strcmp(argv[1], "distrust") == 0) return trustRoot(argv[2], false);
    return usage();
}
