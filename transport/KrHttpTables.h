#pragma once
// The HTTP method names and status texts, each in one table that everything
// else reads. Built on first use, so no static initialiser depends on them.

#include <map>
#include <string>

// Method name (upper case) to the method number a message carries:
// "NONE" 0, "GET" 1, "POST" 2, "ANSWER" 3, "HEAD" 4.
const std::map<std::string, int>& KrHttpMethods();

// Status code to reason phrase. A message stores only codes of this table.
const std::map<unsigned long, std::string>& KrHttpStatusTexts();

// The standard reason phrase of a status code 100-599 ("" for a code with
// none). The table above keeps the server's own wording for its answers;
// this one is for codes a CGI program sets.
const char* KrHttpStandardReason(unsigned long code);

// The method numbers.
enum KrHttpMethod : int {
    KR_HTTP_NONE = 0,
    KR_HTTP_GET = 1,
    KR_HTTP_POST = 2,
    KR_HTTP_ANSWER = 3,
    KR_HTTP_HEAD = 4,
};
