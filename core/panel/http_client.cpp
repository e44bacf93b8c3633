#include "panel/http_client.h"

#include "host/tls_trust.h"
#include "host/url.h"

#include <algorithm>
#include <cctype>
#include <curl/curl.h>
#include <mutex>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace tessaron::http {
namespace {

void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    Response response;
    std::size_t limit = 0;
    bool truncate = false;
    bool overflow = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const std::size_t bytes = size * count;
    if (transfer->response.body.size() + bytes > transfer->limit) {
        transfer->overflow = true;
        if (transfer->truncate) transfer->response.body.append(data, transfer->limit - transfer->response.body.size());
        return 0;  // aborts the transfer
    }
    transfer->response.body.append(data, bytes);
    return bytes;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto* transfer = static_cast<Transfer*>(context);
    const std::size_t bytes = size * count;
    std::string line(data, bytes);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
        transfer->response.headers.clear();  // a new answer (after 100 Continue)
    } else if (auto colon = line.find(':'); colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        auto start = value.find_first_not_of(" \t");
        value = start == std::string::npos ? std::string() : value.substr(start);
        transfer->response.headers.emplace_back(line.substr(0, colon), value);
    }
    return bytes;
}

// A line break or NUL in a header would end the line early and start another.
bool breaksHeaderLine(const std::string& text) { return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

TransportError errorFor(CURLcode code) {
    using Kind = TransportError::Kind;
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return TransportError(Kind::timedOut, "The request timed out.");
    case CURLE_COULDNT_RESOLVE_HOST:
        return TransportError(Kind::cannotConnect, "A server with the specified hostname could not be found.");
    case CURLE_COULDNT_CONNECT:
        return TransportError(Kind::cannotConnect, "Could not connect to the server.");
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return TransportError(Kind::badURL, "The URL is not a valid http or https address.");
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return TransportError(Kind::other, "The network connection was lost.");
    default:
        return TransportError(Kind::other, std::string("The request failed: ") + curl_easy_strerror(code) + ".");
    }
}

// OpenSSL checks the host name while it verifies the chain, so that a certificate for
// another host has a verification result of its own, and against the subject
// alternative names only (libcurl's own check afterwards would fall back to the common
// name of a certificate without them). The host is the one being connected to, also
// after a followed redirect; a connection whose host cannot be told is not made.
CURLcode requireHostName(CURL* curl, void* context, void*) {
    char* current = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &current);
    const auto url = Url::parse(current ? current : "");
    if (!url || url->hostName().empty()) return CURLE_SSL_CONNECT_ERROR;
    const bool taken = tls::requirePeerName(SSL_CTX_get0_param(static_cast<SSL_CTX*>(context)), url->hostName());
    return taken ? CURLE_OK : CURLE_SSL_CONNECT_ERROR;
}

// A refused server certificate, or a secure connection that failed, in the user's words.
std::optional<TransportError> tlsErrorFor(CURLcode code, long verifyResult, const std::string& url) {
    const auto parsed = Url::parse(url);
    const std::string host = parsed && !parsed->host().empty() ? parsed->host() : url;
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
        return TransportError(TransportError::Kind::tls, tls::refusedCertificateSentence(host, verifyResult));
    case CURLE_SSL_CACERT_BADFILE:
        if (const auto file = tls::authorityFile())
            return TransportError(TransportError::Kind::tls, tls::unreadableAuthorityFileSentence(*file));
        return TransportError(TransportError::Kind::tls, tls::failedConnectionSentence(host));
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
        return TransportError(TransportError::Kind::tls, tls::failedConnectionSentence(host));
    default:
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> Response::header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return value;
    return std::nullopt;
}

Response perform(const Request& request) {
    for (const auto& [name, value] : request.headers) {
        if (breaksHeaderLine(name) || breaksHeaderLine(value))
            throw TransportError(TransportError::Kind::other,
                                 "A request header held a line break, so the request was not sent.");
    }
    initialiseOnce();
    CURL* curl = curl_easy_init();
    if (!curl) throw TransportError(TransportError::Kind::other, "The HTTP client could not be initialised.");
    Transfer transfer;
    transfer.limit = request.maxResponseBytes;
    transfer.truncate = request.truncateLongAnswers;
    curl_slist* headerList = nullptr;
    for (const auto& [name, value] : request.headers) headerList = curl_slist_append(headerList, (name + ": " + value).c_str());
    if (request.body && std::none_of(request.headers.begin(), request.headers.end(),
                                     [](const auto& h) { return equalsIgnoringCase(h.first, "Expect"); }))
        headerList = curl_slist_append(headerList, "Expect:");

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    const auto authorities = tls::authorityFile();
    if (authorities) curl_easy_setopt(curl, CURLOPT_CAINFO, authorities->c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, requireHostName);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.connectTimeout.value_or(request.timeout).count()));
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method == "HEAD") curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    if (request.body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body->data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (request.maxResponseBytes > 0 && !request.truncateLongAnswers)
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxResponseBytes));

    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    long verifyResult = X509_V_OK;
    curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    char* effective = nullptr;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
    const std::string lastURL = effective ? effective : request.url;  // after a followed redirect, its target
    curl_slist_free_all(headerList);
    curl_easy_cleanup(curl);

    if (transfer.overflow && transfer.truncate) {
        transfer.response.truncated = true;
    } else {
        if (transfer.overflow || code == CURLE_FILESIZE_EXCEEDED)
            throw TransportError(TransportError::Kind::tooLarge, "The server\u2019s answer was larger than allowed.");
        // Only the first address was checked to be http or https; a refused scheme after
        // an answer that redirected comes from following that redirect.
        if (code == CURLE_UNSUPPORTED_PROTOCOL && request.followRedirects && status >= 300 && status <= 399)
            throw TransportError(TransportError::Kind::insecureRedirect,
                                 "The server redirected to an address that is not https; the redirect was not followed.");
        if (code != CURLE_OK) {
            if (auto refusal = tlsErrorFor(code, verifyResult, lastURL)) throw *refusal;
            throw errorFor(code);
        }
    }
    transfer.response.status = status;
    return std::move(transfer.response);
}

Request jsonRequest(std::string method, std::string url, const std::string& bearerToken, std::optional<std::string> body) {
    Request request;
    request.method = std::move(method);
    request.url = std::move(url);
    request.headers.emplace_back("Accept", "application/json");
    if (body) request.headers.emplace_back("Content-Type", "application/json");
    if (!bearerToken.empty()) request.headers.emplace_back("Authorization", "Bearer " + bearerToken);
    request.body = std::move(body);
    return request;
}

}  // namespace tessaron::http
