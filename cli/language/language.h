// The scenario language's words: a line split into words (quoted parts keep their spaces), the
// reading of a command's arguments, and the readings of numbers and names every command shares.
// Private to the command.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/language/words.h"
#include "platform/uikit.h"
#include "platform/value.h"

namespace orvane::cli {

// A line that cannot be run: the run stops there. `column`: where in the line the bad word begins,
// when one word is to blame (the error shows the line with a caret under it).
struct BadLine : std::runtime_error {
  explicit BadLine(const std::string& message, std::size_t at = std::string::npos)
      : std::runtime_error(message), column(at) {}
  std::size_t column;
};

struct Token {
  std::string text;
  std::size_t begin = 0;
  bool quoted = false;
  std::size_t quoteStart = std::string::npos;  // where in `text` the first quoted part begins
};

// Words are separated by white space; a word may hold quoted parts (`"two words"`, `button="Ok, I"`),
// which keep their spaces and take the escapes of the text form of values.
std::vector<Token> tokenize(const std::string& line);

// A command's words after the first, read in order.
class Args {
 public:
  Args(const std::string& line, std::vector<Token> tokens) : line_(line), tokens_(std::move(tokens)) {}

  const std::string& command() const { return tokens_.front().text; }
  bool more() const { return next_ < tokens_.size(); }

  std::string word(const char* what) { return token(what).text; }
  const Token& token(const char* what);
  // The next word, one of the choices the command's row lists: any other is refused, named as
  // `what` ("pref action"), with the choices.
  const std::string& choice(const char* what);
  // Where the word read last begins (the command's, before any other).
  std::size_t lastWordAt() const {
    return tokens_.empty() ? std::string::npos : tokens_[next_ > 0 ? next_ - 1 : 0].begin;
  }
  // A line that cannot be run because of the word read last (the command, before any other).
  BadLine badWord(const std::string& message) const {
    return BadLine(message, tokens_[next_ > 0 ? next_ - 1 : 0].begin);
  }
  // The rest of the line, read as one value in the text form of values.
  Value value(const char* what);
  std::optional<Value> optionalValue(const char* what);
  void end();

 private:
  const std::string& line_;
  std::vector<Token> tokens_;
  std::size_t next_ = 1;
};

// A choice of the command's row that its handler does not carry out: the table and the handler
// disagree, which a test of every row's choices finds.
[[noreturn]] void unhandledChoice(const std::string& command, const std::string& choice);

// A word that is none of `choices`: the line cannot be run, the caret under the word, with the
// nearest choice, or every choice when there are few.
BadLine unknownChoice(const Token& word, const std::string& what, const std::vector<std::string>& choices);

// "springboard" names SpringBoard; every other name is a bundle identifier.
std::string bundleIdentifierOf(const std::string& name);
// The text form of a string or a value; "nothing" for none.
std::string show(const std::optional<std::string>& s);
std::string show(const std::optional<Value>& v);
Value toValue(const platform::StringList& list);
double parseNumber(const std::string& text);
// A whole number within [min, max]; anything else stops the run rather than being converted.
int parseInteger(const std::string& text, int min, int max, const char* what);

}  // namespace orvane::cli
