#include "app/KrCommandCompiler.h"

#include <sstream>
#include <vector>

namespace {

const char kError[] = "/* error */\n";

// Thrown inside the renderer for an argument it refuses; turned into kError.
struct BadArgument {};

// std::stoul of the token, refusing what stoul would wrap round: "-1" reads
// as the largest unsigned long, and a count that size never ends.
unsigned long unsignedArgument(const std::string& token) {
    const size_t first = token.find_first_not_of(" \t\n\v\f\r");
    if (first != std::string::npos && token[first] == '-') {
        throw BadArgument();
    }
    return std::stoul(token);
}

}  // namespace

KrCommandCompiler::KrCommandCompiler()
    : _whitespace(" \t\n"),
      _separator(","),
      _open("("),
      _close(")"),
      _quotes("\"'"),
      _nameStart("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_"),
      _nameCharacters(_nameStart + "1234567890"),
      _commandMark("!") {}

KrCommandCompiler::~KrCommandCompiler() = default;

std::list<std::string> KrCommandCompiler::_tokenize(const std::string& command) const {
    std::list<std::string> tokens;
    if (command.compare(0, _commandMark.size(), _commandMark) != 0) {
        return tokens;
    }
    size_t pos = command.find_first_not_of(_whitespace, _commandMark.size());
    if (pos == std::string::npos || _nameStart.find(command[pos]) == std::string::npos) {
        return tokens;
    }
    size_t end = command.find_first_not_of(_nameCharacters, pos + 1);
    if (end == std::string::npos || _open.find(command[end]) == std::string::npos) {
        return tokens;
    }
    tokens.push_back(command.substr(pos, end + 1 - pos));
    pos = end + 1;
    const std::string stops = _separator + _close;
    for (;;) {
        pos = command.find_first_not_of(_whitespace, pos);
        if (pos == std::string::npos) {
            break;
        }
        end = command.find_first_of(stops, pos);
        if (end == std::string::npos) {
            break;
        }
        tokens.push_back(command.substr(pos, end - pos));
        if (_close.find(command[end]) != std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return tokens;
}

std::string KrCommandCompiler::_unquote(const std::string& token) const {
    if (!token.empty() && _quotes.find(token.front()) != std::string::npos &&
        _quotes.find(token.back()) != std::string::npos) {
        return token.size() < 2 ? std::string() : token.substr(1, token.size() - 2);
    }
    return token;
}

std::string KrCommandCompiler::Render(const std::string& command) {
    return writeCssLinearAnimation(_tokenize(command));
}

std::string KrCommandCompiler::writeCssLinearAnimation(const std::list<std::string>& tokens) {
    // The head and seven arguments; fewer is an error rather than a read
    // past the list.
    if (tokens.size() < 8 || tokens.front() != "linearanimation(") {
        return kError;
    }
    try {
        const std::vector<std::string> args(std::next(tokens.begin()), tokens.end());
        const std::string selector = _unquote(args[0]);
        const std::string duration = _unquote(args[1]);
        const std::string mode = _unquote(args[2]);
        const unsigned long count = unsignedArgument(args[3]);
        const std::string shown = _unquote(args[4]);
        const std::string hidden = _unquote(args[5]);
        const double fade = static_cast<double>(unsignedArgument(args[6]));
        if (count > maxAnimationCount) {
            return kError;
        }
        if (count < 2) {
            return std::string();
        }
        const std::string name =
            !selector.empty() && (selector[0] == '.' || selector[0] == '#') ? selector.substr(1)
                                                                              : selector;
        std::ostringstream out;
        for (unsigned long i = 0; i < count; ++i) {
            out << selector << i << " {\n";
            out << "  -webkit-animation: " << name << i << " " << duration << " " << mode << ";\n";
            out << "  animation: " << name << i << " " << duration << " " << mode << ";\n";
            out << "}\n\n";
            const std::string frameName = name + std::to_string(i);
            writeCssKeyframes(out, "-webkit-keyframes", frameName, count, i, fade, shown, hidden);
            writeCssKeyframes(out, "keyframes", frameName, count, i, fade, shown, hidden);
        }
        return out.str();
    } catch (...) {
        return kError;
    }
}

void KrCommandCompiler::writeCssKeyframes(std::ostream& out, const std::string& keyword,
                                          const std::string& name, unsigned long count,
                                          unsigned long i, double fade, const std::string& shown,
                                          const std::string& hidden) {
    const double w = 100.0 / static_cast<double>(count);
    const double at = static_cast<double>(i) * w;
    auto frame = [&out](const auto& percent, const std::string& body) {
        out << percent << "% {\n  " << body << "\n}\n";
    };
    out << "@" << keyword << " " << name << " {\n";
    if (i == 0) {
        frame("0", shown);
        frame(w - fade, shown);
        frame(w, hidden);
        frame(100 - fade, hidden);
        frame("100", shown);
    } else if (i + 1 < count) {
        frame("0", hidden);
        frame(at - fade, hidden);
        frame(at, shown);
        frame(static_cast<double>(i + 1) * w - fade, shown);
        frame(static_cast<double>(i + 1) * w, hidden);
        frame("100", hidden);
    } else {
        frame("0", hidden);
        frame(at - fade, hidden);
        frame(at, shown);
        frame(100 - fade, shown);
        frame("100", hidden);
    }
    out << "}\n\n";
}

std::string RenderCommand(const std::string& command) {
    return KrCommandCompiler().Render(command);
}
