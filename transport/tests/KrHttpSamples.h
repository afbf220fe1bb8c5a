#pragma once
// Requests as browsers and curl send them, shared by the tests and the
// benchmark so both read the same bytes.

#include <string>
#include <vector>

struct KrHttpSample {
    std::string name;
    std::string bytes;
};

inline std::string KrHttpSampleBrowserGet() {
    return "GET /app/page.html?quivoid=42&q=a+b%2Bc HTTP/1.1\r\n"
           "Host: localhost:8000\r\n"
           "Connection: keep-alive\r\n"
           "sec-ch-ua: \"Not_A Brand\";v=\"8\", \"Chromium\";v=\"120\"\r\n"
           "sec-ch-ua-mobile: ?0\r\n"
           "sec-ch-ua-platform: \"Linux\"\r\n"
           "Upgrade-Insecure-Requests: 1\r\n"
           "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
           "Chrome/120.0.0.0 Safari/537.36\r\n"
           "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
           "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7\r\n"
           "Sec-Fetch-Site: same-origin\r\n"
           "Sec-Fetch-Mode: navigate\r\n"
           "Sec-Fetch-User: ?1\r\n"
           "Sec-Fetch-Dest: document\r\n"
           "Referer: http://localhost:8000/app/index.html\r\n"
           "Accept-Encoding: gzip, deflate, br\r\n"
           "Accept-Language: en-US,en;q=0.9\r\n"
           "\r\n";
}

inline std::string KrHttpSampleFormPost(const std::string& body) {
    return "POST /quivowidget.handler HTTP/1.1\r\n"
           "Host: localhost:8000\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\n"
           "Origin: http://localhost:8000\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline std::string KrHttpSampleMultipart() {
    const std::string body =
        "------WebKitFormBoundaryQ3d\r\n"
        "Content-Disposition: form-data; name=\"quivoid\"\r\n"
        "\r\n"
        "42\r\n"
        "------WebKitFormBoundaryQ3d\r\n"
        "Content-Disposition: form-data; name=\"upload\"; filename=\"notes.txt\"\r\n"
        "Content-Type: text/plain\r\n"
        "\r\n"
        "line one\r\nline two with ------WebKitFormBoundaryQ3d inside\r\n\r\n"
        "------WebKitFormBoundaryQ3d\r\n"
        "Content-Disposition: form-data; name=\"empty\"\r\n"
        "\r\n"
        "\r\n"
        "------WebKitFormBoundaryQ3d--\r\n";
    return "POST /upload HTTP/1.1\r\n"
           "Host: localhost:8000\r\n"
           "Content-Type: multipart/form-data; boundary=----WebKitFormBoundaryQ3d\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline const std::vector<KrHttpSample>& KrHttpSamples() {
    static const std::vector<KrHttpSample> samples{
        {"browser GET", KrHttpSampleBrowserGet()},
        {"urlencoded POST",
         KrHttpSampleFormPost("quivoid=42&quivocommand=save+all&text=caf%C3%A9+%26+more&x=")},
        {"multipart upload", KrHttpSampleMultipart()},
        {"curl close",
         "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1:8000\r\nUser-Agent: curl/7.88.1\r\n"
         "Accept: */*\r\nConnection: close\r\n\r\n"},
    };
    return samples;
}
