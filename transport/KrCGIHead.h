#pragma once
// The head a CGI program (or php-cgi) writes in front of its output, read
// and checked before any of it reaches a client: the status it asks for,
// the reason phrase, and the fields passed on. The server frames the answer
// itself, so the program's framing fields are dropped (a Content-Length it
// announced goes into that framing as it stands). A value object; the
// caller owns the output bytes, which parse only reads.

#include <cstddef>
#include <string>
#include <string_view>

class KrCGIHead {
  public:
    enum State { KR_CGI_HEAD_INCOMPLETE, KR_CGI_HEAD_COMPLETE, KR_CGI_HEAD_BAD };
    // Longest head accepted; a longer one without its empty line is BAD.
    static constexpr size_t kMaxHeadLength = 64 * 1024;

    // Reads the head at the front of data[0, size): INCOMPLETE while no empty
    // line has come (more output may complete it); BAD for a line that is not
    // a field, a CR, LF or NUL inside a line, a Status outside 200-599 (an
    // interim 1xx answer cannot pass through CGI: the client would take it
    // for the final one and wait), a
    // head longer than kMaxHeadLength; COMPLETE once the empty line is read.
    // Lines end in LF or CR LF. Each call reads from the start again, so the
    // same object may be asked again as more output arrives.
    State parse(const char* data, size_t size);
    // With COMPLETE: bytes of the head, its empty line included.
    size_t length() const { return _length; }
    // The status: the script's Status, 302 for a Location without one, else 200.
    unsigned long status() const;
    // The body length the program announced (its Content-Length), or -1
    // (none, not a plain count, or two that differ).
    long long contentLength() const;
    // The reason phrase to send: the script's, else the standard one for the code.
    const std::string& reason() const { return _reason; }
    // The fields passed on, each "Name: value\r\n" (no final empty line): the
    // framing fields (Status, Content-Length, Transfer-Encoding, Connection)
    // dropped, at most one Location (the first).
    const std::string& fields() const { return _fields; }
    // False for 1xx, 204 and 304: such answers carry no body and no length.
    static bool carriesBody(unsigned long status);
    // The standard reason phrase of any code 100-599 ("" for an unknown one).
    static const char* standardReason(unsigned long status);

  private:
    void _clear();
    // One line without its line end; false when it is not an acceptable field.
    bool _takeLine(std::string_view line);

    size_t _length = 0;
    unsigned long _status = 0;
    bool _hasLocation = false;
    // -1 none yet, -2 refused.
    long long _contentLength = -1;
    std::string _reason;
    std::string _fields;
};
