#include "language.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

#include "cli/language/command_table.h"
#include "sim/device/device.h"
#include "sim/trace/value_text.h"

namespace orvane::cli {

std::vector<Token> tokenize(const std::string& line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    if (std::isspace(static_cast<unsigned char>(line[i]))) {
      ++i;
      continue;
    }
    Token token;
    token.begin = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
      if (line[i] != '"') {
        token.text += line[i++];
        continue;
      }
      std::size_t j = i + 1;
      while (j < line.size() && line[j] != '"') j += line[j] == '\\' ? 2 : 1;
      if (j >= line.size()) throw BadLine("unterminated string", i);
      auto parsed = sim::parseValueText(line.substr(i, j + 1 - i));
      if (!parsed.value || !parsed.value->string()) {
        throw BadLine("bad string: " + parsed.error, parsed.at == std::string::npos ? i : i + parsed.at);
      }
      if (!token.quoted) token.quoteStart = token.text.size();
      token.text += *parsed.value->string();
      token.quoted = true;
      i = j + 1;
    }
    tokens.push_back(std::move(token));
  }
  return tokens;
}

const Token& Args::token(const char* what) {
  if (!more()) throw BadLine(std::string("missing ") + what);
  return tokens_[next_++];
}

const std::string& Args::choice(const char* what) {
  const std::vector<std::string> choices = commandChoices(command());
  if (!more()) throw BadLine("missing " + wordList(choices, "or"));
  const Token& word = tokens_[next_++];
  if (std::find(choices.begin(), choices.end(), word.text) == choices.end()) throw unknownChoice(word, what, choices);
  return word.text;
}

void unhandledChoice(const std::string& command, const std::string& choice) {
  throw std::logic_error("the command table gives " + command + " the choice " + choice +
                         ", which it does not carry out");
}

Value Args::value(const char* what) {
  if (!more()) throw BadLine(std::string("missing ") + what);
  const std::size_t begin = tokens_[next_].begin;
  auto parsed = sim::parseValueText(std::string_view(line_).substr(begin));
  next_ = tokens_.size();
  // The caret goes where the reading failed, counted from the line's start.
  if (!parsed.value) {
    throw BadLine(std::string("bad ") + what + ": " + parsed.error,
                  parsed.at == std::string::npos ? begin : std::min(begin + parsed.at, line_.size()));
  }
  return std::move(*parsed.value);
}

std::optional<Value> Args::optionalValue(const char* what) {
  if (!more()) return std::nullopt;
  return value(what);
}

void Args::end() {
  if (more()) throw BadLine("unexpected '" + tokens_[next_].text + "'", tokens_[next_].begin);
}

namespace {

// Edits between two words, ignoring case: a letter put in, left out or changed, or two neighbours
// swapped ("tpa" is one edit from "tap"), as the optimal-string-alignment distance counts them.
std::size_t editDistance(std::string_view a, std::string_view b) {
  const auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  };
  std::vector<std::size_t> before(b.size() + 1);  // row i - 2
  std::vector<std::size_t> last(b.size() + 1);    // row i - 1
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) last[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, last);
    std::swap(last, row);
  }
  return last[b.size()];
}

}  // namespace

std::optional<std::string> nearest(std::string_view word, const std::vector<std::string>& candidates) {
  // Words far longer than any name are not slips; the distance would cost their length squared.
  if (word.empty() || word.size() > 256) return std::nullopt;
  const std::size_t allowed = std::max<std::size_t>(1, word.size() / 3);
  std::optional<std::string> best;
  std::size_t bestDistance = allowed + 1;
  for (const std::string& candidate : candidates) {
    const std::size_t d = editDistance(word, candidate);
    if (d < bestDistance) {
      bestDistance = d;
      best = candidate;
    }
  }
  return best;
}

std::string didYouMean(std::string_view word, const std::vector<std::string>& candidates) {
  const auto near = nearest(word, candidates);
  return near ? " (did you mean " + *near + "?)" : "";
}

std::string wordList(const std::vector<std::string>& words, std::string_view last) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += i + 1 == words.size() ? " " + std::string(last) + " " : ", ";
    out += words[i];
  }
  return out;
}

BadLine unknownChoice(const Token& word, const std::string& what, const std::vector<std::string>& choices) {
  constexpr std::size_t kFew = 16;
  std::string message = "unknown " + what + " '" + word.text + "'";
  if (const auto near = nearest(word.text, choices)) {
    message += " (did you mean " + *near + "?)";
  } else if (!choices.empty() && choices.size() <= kFew) {
    message += "; it takes " + wordList(choices, "or");
  }
  return BadLine(message, word.begin);
}

std::string bundleIdentifierOf(const std::string& name) {
  if (name == "springboard" || name == "SpringBoard") return std::string(sim::kSpringBoard);
  return name;
}

std::string show(const std::optional<std::string>& s) { return s ? sim::formatStringText(*s) : "nothing"; }
std::string show(const std::optional<Value>& v) { return v ? sim::formatValueText(*v) : "nothing"; }

Value toValue(const platform::StringList& list) {
  Array out;
  if (list) out.assign(list->begin(), list->end());
  return Value(std::move(out));
}

double parseNumber(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') throw BadLine("not a number: " + text);
  return value;
}

int parseInteger(const std::string& text, int min, int max, const char* what) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    throw BadLine(std::string(what) + " must be a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max) + ", not " + text);
  }
  return value;
}

}  // namespace orvane::cli
