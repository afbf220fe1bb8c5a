#include "transport/KrHttpTables.h"

#include <algorithm>
#include <iterator>

const std::map<std::string, int>& KrHttpMethods() {
    // HEAD is answered like GET with the head only, so `curl -I` works.
    static const std::map<std::string, int> table{
        {"NONE", KR_HTTP_NONE},     {"GET", KR_HTTP_GET},   {"POST", KR_HTTP_POST},
        {"ANSWER", KR_HTTP_ANSWER}, {"HEAD", KR_HTTP_HEAD},
    };
    return table;
}

const std::map<unsigned long, std::string>& KrHttpStatusTexts() {
    // The server's own codes keep their historic texts (303 "Redirect",
    // 500 "Internal Error", 502 "Server Error"); the rest are the codes that
    // refusals and CGI heads give, with their standard phrases.
    static const std::map<unsigned long, std::string> table{
        {100, "Continue"},
        {200, "OK"},
        {201, "Created"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "Redirect"},
        {304, "Not Modified"},
        {400, "Bad Request"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {411, "Length Required"},
        {413, "Content Too Large"},
        {417, "Expectation Failed"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Error"},
        {501, "Not Implemented"},
        {502, "Server Error"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
    };
    return table;
}

const char* KrHttpStandardReason(unsigned long code) {
    struct Reason {
        unsigned long code;
        const char* text;
    };
    // Sorted by code.
    static constexpr Reason kReasons[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {102, "Processing"},
        {103, "Early Hints"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {207, "Multi-Status"},
        {208, "Already Reported"},
        {226, "IM Used"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {307, "Temporary Redirect"},
        {308, "Permanent Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Content Too Large"},
        {414, "URI Too Long"},
        {415, "Unsupported Media Type"},
        {416, "Range Not Satisfiable"},
        {417, "Expectation Failed"},
        {418, "I'm a teapot"},
        {421, "Misdirected Request"},
        {422, "Unprocessable Content"},
        {423, "Locked"},
        {424, "Failed Dependency"},
        {425, "Too Early"},
        {426, "Upgrade Required"},
        {428, "Precondition Required"},
        {429, "Too Many Requests"},
        {431, "Request Header Fields Too Large"},
        {451, "Unavailable For Legal Reasons"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
        {506, "Variant Also Negotiates"},
        {507, "Insufficient Storage"},
        {508, "Loop Detected"},
        {510, "Not Extended"},
        {511, "Network Authentication Required"},
    };
    const auto* found = std::lower_bound(
        std::begin(kReasons), std::end(kReasons), code,
        [](const Reason& reason, unsigned long wanted) { return reason.code < wanted; });
    return found != std::end(kReasons) && found->code == code ? found->text : "";
}
