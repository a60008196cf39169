#include "sim/tools/log_predicate.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace sim::tools {

enum class Field { kEventMessage, kProcessImagePath, kProcess, kSubsystem, kCategory };
enum class Operator { kEqual, kNotEqual, kContains, kBeginsWith, kEndsWith };

struct LogPredicate::Node {
  enum class Kind { kTrue, kFalse, kAnd, kOr, kNot, kComparison };

  Kind kind = Kind::kTrue;
  std::vector<std::unique_ptr<Node>> children;  // kAnd, kOr: two or more; kNot: one
  Field field = Field::kEventMessage;
  Operator op = Operator::kEqual;
  bool case_insensitive = false;
  bool diacritic_insensitive = false;
  std::string value;
  std::u32string folded_value;  // `value` folded as the options ask, when any is given
};

namespace {

using Node = LogPredicate::Node;

constexpr std::array<std::pair<std::string_view, Field>, 5> kFields = {{
    {"eventMessage", Field::kEventMessage},
    {"processImagePath", Field::kProcessImagePath},
    {"process", Field::kProcess},
    {"subsystem", Field::kSubsystem},
    {"category", Field::kCategory},
}};

std::string_view FieldName(Field field) {
  for (const auto& [name, known] : kFields) {
    if (known == field) return name;
  }
  return "";
}

std::string_view OperatorName(Operator op) {
  switch (op) {
    case Operator::kEqual:
      return "==";
    case Operator::kNotEqual:
      return "!=";
    case Operator::kContains:
      return "CONTAINS";
    case Operator::kBeginsWith:
      return "BEGINSWITH";
    case Operator::kEndsWith:
      return "ENDSWITH";
  }
  return "";
}

// ---- Folding for the [c] and [d] options ----

// The base letters of U+00C0...U+017F ('.' where the character has none: Æ, Ð, Ø, ß, Đ, Ł,
// Œ, ..., which are letters of their own).
constexpr std::string_view kLatinBaseLetters =
    "AAAAAA.CEEEEIIII.NOOOOO..UUUUY.."   // U+00C0
    "aaaaaa.ceeeeiiii.nooooo..uuuuy.y"   // U+00E0
    "AaAaAaCcCcCcCcDd..EeEeEeEeEeGgGg"   // U+0100
    "GgGgHh..IiIiIiIiI...JjKk.LlLlLl."   // U+0120
    "...NnNnNn...OoOoOo..RrRrRrSsSsSs"   // U+0140
    "SsTtTt..UuUuUuUuUuUuWwYyYZzZzZz.";  // U+0160
static_assert(kLatinBaseLetters.size() == 0x180 - 0xC0);

// Decodes UTF-8; a byte that does not begin a valid sequence stands for itself as a code
// point of its own (U+DC80 + byte, a range valid text cannot produce), so that invalid text
// still compares byte for byte.
std::u32string Decode(std::string_view text) {
  std::u32string decoded;
  decoded.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
      minimum = 0x10000;
    }
    bool valid = length > 0 && at + length <= text.size();
    for (size_t index = 1; valid && index < length; ++index) {
      const unsigned char next = static_cast<unsigned char>(text[at + index]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    valid = valid && code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (!valid) {
      decoded.push_back(0xDC80 + lead);
      ++at;
      continue;
    }
    decoded.push_back(code);
    at += length;
  }
  return decoded;
}

char32_t LowerCase(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 0x20;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130) return 'i';
    if (c == 0x178) return 0xFF;
    // Upper case on the even code point in these runs, on the odd one in the others.
    const bool even_upper = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
    if (even_upper) return (c % 2 == 0 && c != 0x138) ? c + 1 : c;
    return (c % 2 == 1 && c != 0x149 && c != 0x17F) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  return c;
}

std::u32string Fold(std::string_view text, bool case_insensitive, bool diacritic_insensitive) {
  std::u32string folded;
  for (char32_t c : Decode(text)) {
    if (diacritic_insensitive) {
      if (c >= 0x300 && c <= 0x36F) continue;  // combining marks
      if (c >= 0xC0 && c < 0x180 && kLatinBaseLetters[c - 0xC0] != '.') {
        c = static_cast<unsigned char>(kLatinBaseLetters[c - 0xC0]);
      }
    }
    if (case_insensitive) c = LowerCase(c);
    folded.push_back(c);
  }
  return folded;
}

template <typename Text>
bool Compare(Operator op, const Text& field, const Text& value) {
  switch (op) {
    case Operator::kEqual:
      return field == value;
    case Operator::kNotEqual:
      return field != value;
    case Operator::kContains:
      return std::search(field.begin(), field.end(), value.begin(), value.end()) != field.end();
    case Operator::kBeginsWith:
      return field.size() >= value.size() && std::equal(value.begin(), value.end(), field.begin());
    case Operator::kEndsWith:
      return field.size() >= value.size() &&
             std::equal(value.rbegin(), value.rend(), field.rbegin());
  }
  return false;
}

const std::string& FieldValue(const LogEntry& entry, Field field) {
  static const std::string kNone;
  switch (field) {
    case Field::kEventMessage:
      return entry.message;
    case Field::kProcessImagePath:
      return entry.image_path;
    case Field::kProcess:
      return entry.process;
    case Field::kSubsystem:
    case Field::kCategory:
      break;
  }
  return kNone;
}

bool Evaluate(const Node& node, const LogEntry& entry) {
  switch (node.kind) {
    case Node::Kind::kTrue:
      return true;
    case Node::Kind::kFalse:
      return false;
    case Node::Kind::kAnd:
      return std::all_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return Evaluate(*child, entry); });
    case Node::Kind::kOr:
      return std::any_of(node.children.begin(), node.children.end(),
                         [&](const auto& child) { return Evaluate(*child, entry); });
    case Node::Kind::kNot:
      return !Evaluate(*node.children.front(), entry);
    case Node::Kind::kComparison:
      break;
  }
  const std::string& field = FieldValue(entry, node.field);
  if (!node.case_insensitive && !node.diacritic_insensitive) {
    return Compare(node.op, field, node.value);
  }
  return Compare(node.op, Fold(field, node.case_insensitive, node.diacritic_insensitive),
                 node.folded_value);
}

// ---- Formatting ----

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\r':
        quoted += "\\r";
        break;
      default:
        quoted.push_back(c);
    }
  }
  return quoted + "\"";
}

bool IsCompound(const Node& node) {
  return node.kind == Node::Kind::kAnd || node.kind == Node::Kind::kOr;
}

void AppendFormatted(const Node& node, std::string* out) {
  switch (node.kind) {
    case Node::Kind::kTrue:
      *out += "TRUEPREDICATE";
      return;
    case Node::Kind::kFalse:
      *out += "FALSEPREDICATE";
      return;
    case Node::Kind::kAnd:
    case Node::Kind::kOr:
      for (size_t index = 0; index < node.children.size(); ++index) {
        if (index > 0) *out += node.kind == Node::Kind::kAnd ? " AND " : " OR ";
        const Node& child = *node.children[index];
        if (IsCompound(child)) *out += "(";
        AppendFormatted(child, out);
        if (IsCompound(child)) *out += ")";
      }
      return;
    case Node::Kind::kNot: {
      const Node& child = *node.children.front();
      *out += IsCompound(child) ? "NOT (" : "NOT ";
      AppendFormatted(child, out);
      if (IsCompound(child)) *out += ")";
      return;
    }
    case Node::Kind::kComparison:
      break;
  }
  *out += FieldName(node.field);
  *out += " ";
  *out += OperatorName(node.op);
  if (node.case_insensitive || node.diacritic_insensitive) {
    *out += "[";
    if (node.case_insensitive) *out += "c";
    if (node.diacritic_insensitive) *out += "d";
    *out += "]";
  }
  *out += " ";
  *out += Quote(node.value);
}

// ---- Parsing ----

struct Token {
  enum class Kind { kWord, kString, kSymbol, kOptions, kEnd };
  Kind kind = Kind::kEnd;
  std::string text;  // the word, the string's value, the symbol, the options' letters
  size_t offset = 0;
};

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsWordPart(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

bool EqualsIgnoringCase(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

std::string Describe(const Token& token) {
  switch (token.kind) {
    case Token::Kind::kEnd:
      return "the end";
    case Token::Kind::kString:
      return Quote(token.text);
    case Token::Kind::kOptions:
      return "\"[" + token.text + "]\"";
    case Token::Kind::kWord:
    case Token::Kind::kSymbol:
      break;
  }
  return "\"" + token.text + "\"";
}

class Parser {
 public:
  Parser(std::string_view text, PredicateError* error) : text_(text), error_(error) {}

  std::unique_ptr<Node> Parse() {
    if (text_.size() > LogPredicate::kMaxLength) {
      return Fail("longer than " + std::to_string(LogPredicate::kMaxLength) + " characters", 0,
                  /*too_large=*/true);
    }
    if (!Tokenize()) return nullptr;
    if (tokens_.size() == 1) return Fail("empty predicate", 0);
    std::unique_ptr<Node> root = ParseOr();
    if (!root) return nullptr;
    if (Peek().kind != Token::Kind::kEnd) {
      return Fail("unexpected " + Describe(Peek()), Peek().offset);
    }
    return root;
  }

 private:
  std::nullptr_t Fail(const std::string& message, size_t offset, bool too_large = false) {
    if (!failed_) {
      error_->message = message + " (at character " + std::to_string(offset + 1) + ")";
      error_->too_large = too_large;
      failed_ = true;
    }
    return nullptr;
  }

  // Fail, for the steps that answer whether they succeeded.
  bool Refuse(const std::string& message, size_t offset) {
    Fail(message, offset);
    return false;
  }

  // ---- Tokens ----

  bool Tokenize() {
    size_t at = 0;
    while (true) {
      while (at < text_.size() && std::isspace(static_cast<unsigned char>(text_[at]))) ++at;
      if (at >= text_.size()) break;
      Token token;
      token.offset = at;
      const char c = text_[at];
      if (IsWordStart(c)) {
        const size_t start = at;
        while (at < text_.size() && IsWordPart(text_[at])) ++at;
        token.kind = Token::Kind::kWord;
        token.text = std::string(text_.substr(start, at - start));
      } else if (c == '"' || c == '\'') {
        token.kind = Token::Kind::kString;
        if (!ReadString(&at, &token.text)) return false;
      } else if (c == '[') {
        const size_t end = text_.find(']', at);
        if (end == std::string_view::npos) return Refuse("unclosed \"[\"", at);
        token.kind = Token::Kind::kOptions;
        token.text = std::string(text_.substr(at + 1, end - at - 1));
        at = end + 1;
      } else {
        static constexpr std::string_view kSymbols[] = {"==", "!=", "<>", "&&", "||",
                                                        "=",  "!",  "(",  ")"};
        for (std::string_view symbol : kSymbols) {
          if (text_.substr(at).starts_with(symbol)) {
            token.kind = Token::Kind::kSymbol;
            token.text = std::string(symbol);
            break;
          }
        }
        if (token.kind != Token::Kind::kSymbol) {
          return Refuse("unexpected character \"" + std::string(1, c) + "\"", at);
        }
        at += token.text.size();
      }
      tokens_.push_back(std::move(token));
    }
    tokens_.push_back(Token{Token::Kind::kEnd, "", text_.size()});
    return true;
  }

  bool ReadString(size_t* at, std::string* value) {
    const size_t start = *at;
    const char quote = text_[start];
    size_t index = start + 1;
    while (index < text_.size() && text_[index] != quote) {
      if (text_[index] != '\\') {
        value->push_back(text_[index++]);
        continue;
      }
      // A backslash at the very end escapes nothing, and leaves the string open.
      if (index + 1 >= text_.size()) return Refuse("unterminated string", start);
      const char escaped = text_[index + 1];
      switch (escaped) {
        case '"':
        case '\'':
        case '\\':
          value->push_back(escaped);
          break;
        case 'n':
          value->push_back('\n');
          break;
        case 't':
          value->push_back('\t');
          break;
        case 'r':
          value->push_back('\r');
          break;
        default:
          return Refuse("unknown escape \"\\" + std::string(1, escaped) + "\" in a string", index);
      }
      index += 2;
    }
    if (index >= text_.size()) return Refuse("unterminated string", start);
    *at = index + 1;
    return true;
  }

  const Token& Peek() const { return tokens_[next_]; }
  const Token& Take() { return tokens_[next_ < tokens_.size() - 1 ? next_++ : next_]; }

  bool PeekWord(std::string_view keyword) const {
    return Peek().kind == Token::Kind::kWord && EqualsIgnoringCase(Peek().text, keyword);
  }
  bool PeekSymbol(std::string_view symbol) const {
    return Peek().kind == Token::Kind::kSymbol && Peek().text == symbol;
  }

  // ---- Grammar ----

  std::unique_ptr<Node> ParseOr() {
    return ParseCompound(Node::Kind::kOr, "or", "||", &Parser::ParseAnd);
  }
  std::unique_ptr<Node> ParseAnd() {
    return ParseCompound(Node::Kind::kAnd, "and", "&&", &Parser::ParseUnary);
  }

  std::unique_ptr<Node> ParseCompound(Node::Kind kind, std::string_view word,
                                      std::string_view symbol,
                                      std::unique_ptr<Node> (Parser::*operand)()) {
    std::unique_ptr<Node> first = (this->*operand)();
    if (!first) return nullptr;
    if (!PeekWord(word) && !PeekSymbol(symbol)) return first;
    auto compound = std::make_unique<Node>();
    compound->kind = kind;
    compound->children.push_back(std::move(first));
    while (PeekWord(word) || PeekSymbol(symbol)) {
      Take();
      std::unique_ptr<Node> next = (this->*operand)();
      if (!next) return nullptr;
      compound->children.push_back(std::move(next));
    }
    return compound;
  }

  // Enters one more level of parentheses or negation; false (and the error) when too deep.
  bool Enter(size_t offset) {
    if (++nesting_ <= LogPredicate::kMaxNesting) return true;
    Fail("nested more than " + std::to_string(LogPredicate::kMaxNesting) + " levels deep", offset,
         /*too_large=*/true);
    return false;
  }

  std::unique_ptr<Node> ParseUnary() {
    const Token& token = Peek();
    if (PeekWord("not") || PeekSymbol("!")) {
      Take();
      if (!Enter(token.offset)) return nullptr;
      std::unique_ptr<Node> operand = ParseUnary();
      --nesting_;
      if (!operand) return nullptr;
      auto negation = std::make_unique<Node>();
      negation->kind = Node::Kind::kNot;
      negation->children.push_back(std::move(operand));
      return negation;
    }
    if (PeekSymbol("(")) {
      Take();
      if (!Enter(token.offset)) return nullptr;
      std::unique_ptr<Node> inner = ParseOr();
      --nesting_;
      if (!inner) return nullptr;
      if (!PeekSymbol(")"))
        return Fail("expected \")\" but found " + Describe(Peek()), Peek().offset);
      Take();
      return inner;
    }
    if (PeekWord("truepredicate") || PeekWord("falsepredicate")) {
      auto constant = std::make_unique<Node>();
      constant->kind = PeekWord("truepredicate") ? Node::Kind::kTrue : Node::Kind::kFalse;
      Take();
      return constant;
    }
    return ParseComparison();
  }

  std::unique_ptr<Node> ParseComparison() {
    const Token field_token = Take();
    if (field_token.kind != Token::Kind::kWord) {
      return Fail("expected a field but found " + Describe(field_token), field_token.offset);
    }
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::kComparison;
    const auto field = std::find_if(kFields.begin(), kFields.end(), [&](const auto& entry) {
      return entry.first == field_token.text;
    });
    if (field == kFields.end()) {
      return Fail("unknown field " + Describe(field_token) +
                      " (fields: eventMessage, processImagePath, process, subsystem, category)",
                  field_token.offset);
    }
    node->field = field->second;

    const Token op_token = Take();
    if (!ParseOperator(op_token, &node->op)) {
      return Fail("expected a comparison after \"" + field_token.text + "\" but found " +
                      Describe(op_token),
                  op_token.offset);
    }
    if (Peek().kind == Token::Kind::kOptions) {
      const Token options = Take();
      for (char letter : options.text) {
        bool* option = letter == 'c'   ? &node->case_insensitive
                       : letter == 'd' ? &node->diacritic_insensitive
                                       : nullptr;
        if (option == nullptr || *option) {
          return Fail("unknown comparison options " + Describe(options) + " (use [c], [d] or [cd])",
                      options.offset);
        }
        *option = true;
      }
      if (options.text.empty()) {
        return Fail("unknown comparison options " + Describe(options) + " (use [c], [d] or [cd])",
                    options.offset);
      }
    }
    const Token value = Take();
    if (value.kind != Token::Kind::kString) {
      return Fail("expected a string in quotes after \"" + op_token.text + "\" but found " +
                      Describe(value),
                  value.offset);
    }
    node->value = value.text;
    if (node->case_insensitive || node->diacritic_insensitive) {
      node->folded_value = Fold(node->value, node->case_insensitive, node->diacritic_insensitive);
    }
    return node;
  }

  static bool ParseOperator(const Token& token, Operator* op) {
    if (token.kind == Token::Kind::kSymbol) {
      if (token.text == "==" || token.text == "=") {
        *op = Operator::kEqual;
        return true;
      }
      if (token.text == "!=" || token.text == "<>") {
        *op = Operator::kNotEqual;
        return true;
      }
      return false;
    }
    if (token.kind != Token::Kind::kWord) return false;
    for (const auto& [name, known] : {std::pair{"contains", Operator::kContains},
                                      std::pair{"beginswith", Operator::kBeginsWith},
                                      std::pair{"endswith", Operator::kEndsWith}}) {
      if (EqualsIgnoringCase(token.text, name)) {
        *op = known;
        return true;
      }
    }
    return false;
  }

  std::string_view text_;
  PredicateError* error_;
  std::vector<Token> tokens_;
  size_t next_ = 0;
  int nesting_ = 0;
  bool failed_ = false;
};

}  // namespace

LogPredicate::LogPredicate(std::unique_ptr<Node> root) : root_(std::move(root)) {}
LogPredicate::LogPredicate(LogPredicate&&) noexcept = default;
LogPredicate& LogPredicate::operator=(LogPredicate&&) noexcept = default;
LogPredicate::~LogPredicate() = default;

std::optional<LogPredicate> LogPredicate::Parse(std::string_view text, PredicateError* error) {
  PredicateError ignored;
  std::unique_ptr<Node> root = Parser(text, error != nullptr ? error : &ignored).Parse();
  if (!root) return std::nullopt;
  return LogPredicate(std::move(root));
}

bool LogPredicate::Matches(const LogEntry& entry) const { return Evaluate(*root_, entry); }

std::string LogPredicate::Format() const {
  std::string text;
  AppendFormatted(*root_, &text);
  return text;
}

}  // namespace sim::tools
