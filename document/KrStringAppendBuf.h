#pragma once
// A stream buffer that appends everything written through it to one string,
// so an ostream-based Write can fill a reserved string without a string
// stream and the copy out of it. The string must outlive the buffer.

#include <streambuf>
#include <string>

class KrStringAppendBuf : public std::streambuf {
  public:
    explicit KrStringAppendBuf(std::string& target) : _target(target) {}

  protected:
    int_type overflow(int_type ch) override {
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            _target.push_back(traits_type::to_char_type(ch));
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        _target.append(data, static_cast<size_t>(count));
        return count;
    }

  private:
    std::string& _target;
};
