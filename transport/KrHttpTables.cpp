#include "transport/KrHttpTables.h"

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
