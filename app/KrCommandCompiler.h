#pragma once
// Renders the commands written in page templates as "[[!name(arg, ...)]]".
// A command is split into tokens: the head (the name with its "(", such as
// "linearanimation(") and the raw text of each argument. The one command
// that renders anything is "linearanimation(", which writes CSS rules and
// keyframes that show a cycle of elements one after the other; anything
// else renders as "/* error */\n".
// Holds only its grammar's character sets; built afresh for every command.

#include <cstddef>
#include <list>
#include <ostream>
#include <string>

class KrCommandCompiler {
  public:
    KrCommandCompiler();
    virtual ~KrCommandCompiler();

    // `command` is the template text with its leading "!".
    std::string Render(const std::string& command);
    // The CSS of "linearanimation(" for the tokens; "/* error */\n" for
    // another head, too few arguments, or a count or fade that is not an
    // unsigned number.
    std::string writeCssLinearAnimation(const std::list<std::string>& tokens);
    // One "@keyword name { frames }" block for element i of count.
    void writeCssKeyframes(std::ostream& out, const std::string& keyword, const std::string& name,
                           unsigned long count, unsigned long i, double fade,
                           const std::string& shown, const std::string& hidden);

    // More elements than this in one animation are refused as an error: the
    // output grows with the count, and a page has no use for more.
    static constexpr unsigned long maxAnimationCount = 10000;

  private:
    std::list<std::string> _tokenize(const std::string& command) const;
    std::string _unquote(const std::string& token) const;

    std::string _whitespace;
    std::string _separator;
    std::string _open;
    std::string _close;
    std::string _quotes;
    std::string _nameStart;
    std::string _nameCharacters;
    std::string _commandMark;
};

// Builds a compiler and renders the command with it.
std::string RenderCommand(const std::string& command);
