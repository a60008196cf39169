#include "platform/security/code_requirement.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace platform {
namespace {

// Far more than any real requirement has; the limits keep hostile text from exhausting the
// stack of the recursive parser, evaluator and destructor.
constexpr int kMaxNesting = 64;
constexpr int kMaxOperands = 4096;

struct Token {
  enum class Kind { kWord, kString, kInteger, kHash, kPunctuation, kEnd };
  Kind kind = Kind::kEnd;
  std::string text;  // a string's contents without quotes; a hash's hex digits
  int line = 1;
  int column = 1;
};

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsWordPart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
}
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // The next token, or nothing with `*error` set.
  std::optional<Token> Next(std::string* error) {
    if (!SkipBlanksAndComments(error)) return std::nullopt;
    Token token;
    token.line = line_;
    token.column = column_;
    if (at_ >= text_.size()) return token;
    const char c = text_[at_];
    if (c == 'H' && Peek(1) == '"') {
      Advance(1);
      if (!ReadString(&token.text, error)) return std::nullopt;
      token.kind = Token::Kind::kHash;
    } else if (c == '"') {
      if (!ReadString(&token.text, error)) return std::nullopt;
      token.kind = Token::Kind::kString;
    } else if (IsWordStart(c)) {
      // A dotted word: IDENT(.IDENT|.INTEGER)*, as in subject.OU or field.1.2.840.113635.
      size_t end = at_;
      while (end < text_.size() &&
             (IsWordPart(text_[end]) ||
              (text_[end] == '.' && end + 1 < text_.size() && IsWordPart(text_[end + 1])))) {
        ++end;
      }
      token.kind = Token::Kind::kWord;
      token.text = std::string(text_.substr(at_, end - at_));
      Advance(end - at_);
    } else if (IsDigit(c)) {
      size_t end = at_;
      while (end < text_.size() && IsDigit(text_[end])) ++end;
      token.kind = Token::Kind::kInteger;
      token.text = std::string(text_.substr(at_, end - at_));
      Advance(end - at_);
    } else {
      const bool two = (c == '=' || c == '<' || c == '>') && Peek(1) == '=';
      if (!two && std::string_view("()![]=~<>*-").find(c) == std::string_view::npos) {
        *error = Where(token.line, token.column) + "unexpected character: " + std::string(1, c);
        return std::nullopt;
      }
      token.kind = Token::Kind::kPunctuation;
      token.text = std::string(text_.substr(at_, two ? 2 : 1));
      Advance(token.text.size());
    }
    return token;
  }

  static std::string Where(int line, int column) {
    return "line " + std::to_string(line) + ":" + std::to_string(column) + ": ";
  }

 private:
  char Peek(size_t ahead) const { return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0'; }

  void Advance(size_t count) {
    for (size_t i = 0; i < count && at_ < text_.size(); ++i, ++at_) {
      if (text_[at_] == '\n') {
        ++line_;
        column_ = 1;
      } else {
        ++column_;
      }
    }
  }

  bool SkipBlanksAndComments(std::string* error) {
    for (;;) {
      if (at_ >= text_.size()) return true;
      const char c = text_[at_];
      if (std::isspace(static_cast<unsigned char>(c))) {
        Advance(1);
      } else if (c == '#' || (c == '/' && Peek(1) == '/')) {
        while (at_ < text_.size() && text_[at_] != '\n') Advance(1);
      } else if (c == '/' && Peek(1) == '*') {
        const size_t end = text_.find("*/", at_ + 2);
        if (end == std::string_view::npos) {
          *error = Where(line_, column_) + "unterminated comment";
          return false;
        }
        Advance(end + 2 - at_);
      } else {
        return true;
      }
    }
  }

  // Reads "…" from the opening quote on, with \" and \\ escapes.
  bool ReadString(std::string* contents, std::string* error) {
    const int line = line_;
    const int column = column_;
    Advance(1);
    while (at_ < text_.size() && text_[at_] != '"') {
      if (text_[at_] == '\\' && at_ + 1 < text_.size()) Advance(1);
      contents->push_back(text_[at_]);
      Advance(1);
    }
    if (at_ >= text_.size()) {
      *error = Where(line, column) + "unterminated string";
      return false;
    }
    Advance(1);
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
  int line_ = 1;
  int column_ = 1;
};

struct Match {
  enum class Operation {
    kExists,
    kAbsent,
    kEqual,
    kBeginsWith,
    kEndsWith,
    kContains,
    kLess,
    kGreater,
    kLessOrEqual,
    kGreaterOrEqual,
  };
  Operation operation = Operation::kExists;
  std::string value;
};

}  // namespace

struct CodeRequirement::Node {
  enum class Kind {
    kConstant,
    kAnd,
    kOr,
    kNot,
    kAppleAnchor,
    kAppleGenericAnchor,
    kAnyCertificateTrusted,
    kCertificateTrusted,
    kCertificateField,
    kCertificateHash,
    kInfo,
    kEntitlement,
    kIdentifier,
    kCodeDirectoryHash,
    kPlatform,
    kNotarized,
    kLegacy,
  };
  Kind kind = Kind::kConstant;
  bool constant = false;
  std::vector<std::unique_ptr<Node>> operands;
  int slot = 0;       // a certificate: 0 the leaf, -1 the anchor
  std::string key;    // a certificate, information or entitlement key
  Match match;        // for keys
  std::string value;  // an identifier
  CodeDirectoryHash hash{};
  int number = 0;  // a platform
};

namespace {

using Node = CodeRequirement::Node;

std::unique_ptr<Node> MakeNode(Node::Kind kind) {
  auto node = std::make_unique<Node>();
  node->kind = kind;
  return node;
}

class Parser {
 public:
  Parser(std::string_view text, std::string* error) : lexer_(text), error_(error) {}

  std::unique_ptr<Node> ParseAll() {
    if (!Read()) return nullptr;
    std::unique_ptr<Node> root = Expression(0);
    if (root == nullptr) return nullptr;
    if (token_.kind != Token::Kind::kEnd) return Unexpected();
    return root;
  }

 private:
  bool Read() {
    std::optional<Token> next = lexer_.Next(error_);
    if (!next) return false;
    token_ = std::move(*next);
    return true;
  }

  bool IsWord(std::string_view word) const {
    return token_.kind == Token::Kind::kWord && token_.text == word;
  }
  bool IsPunctuation(std::string_view mark) const {
    return token_.kind == Token::Kind::kPunctuation && token_.text == mark;
  }
  // Steps over the mark when it is the current token; false only when reading on fails.
  bool Skip(std::string_view mark) { return !IsPunctuation(mark) || Read(); }

  // Record the first failure, at the current token: as false for the parts that return a
  // flag, as no node for the others.
  bool Failed(const std::string& message) {
    if (error_->empty()) *error_ = Lexer::Where(token_.line, token_.column) + message;
    return false;
  }
  bool FailedUnexpected() {
    return Failed(token_.kind == Token::Kind::kEnd ? "unexpected end of text"
                                                   : "unexpected token: " + token_.text);
  }
  std::nullptr_t Fail(const std::string& message) {
    Failed(message);
    return nullptr;
  }
  std::nullptr_t Unexpected() {
    FailedUnexpected();
    return nullptr;
  }

  // One side of "or", or one side of "and": operands joined left to right.
  std::unique_ptr<Node> Joined(Node::Kind kind, std::string_view word, int depth,
                               std::unique_ptr<Node> (Parser::*operand)(int)) {
    std::unique_ptr<Node> left = (this->*operand)(depth);
    while (left != nullptr && IsWord(word)) {
      if (++operands_ > kMaxOperands) return Fail("requirement too long");
      if (!Read()) return nullptr;
      std::unique_ptr<Node> right = (this->*operand)(depth);
      if (right == nullptr) return nullptr;
      std::unique_ptr<Node> joined = MakeNode(kind);
      joined->operands.push_back(std::move(left));
      joined->operands.push_back(std::move(right));
      left = std::move(joined);
    }
    return left;
  }

  std::unique_ptr<Node> Expression(int depth) {
    return Joined(Node::Kind::kOr, "or", depth, &Parser::Term);
  }
  std::unique_ptr<Node> Term(int depth) {
    return Joined(Node::Kind::kAnd, "and", depth, &Parser::Primary);
  }

  std::unique_ptr<Node> Primary(int depth) {
    if (depth >= kMaxNesting) return Fail("requirement nested too deeply");
    if (IsPunctuation("(")) {
      if (!Read()) return nullptr;
      std::unique_ptr<Node> inner = Expression(depth + 1);
      if (inner == nullptr) return nullptr;
      if (!IsPunctuation(")")) return Unexpected();
      return Read() ? std::move(inner) : nullptr;
    }
    if (IsPunctuation("!")) {
      if (!Read()) return nullptr;
      std::unique_ptr<Node> operand = Primary(depth + 1);
      if (operand == nullptr) return nullptr;
      std::unique_ptr<Node> negation = MakeNode(Node::Kind::kNot);
      negation->operands.push_back(std::move(operand));
      return negation;
    }
    if (token_.kind != Token::Kind::kWord) return Unexpected();
    const std::string word = token_.text;
    if (word == "always" || word == "true" || word == "never" || word == "false") {
      std::unique_ptr<Node> constant = MakeNode(Node::Kind::kConstant);
      constant->constant = word == "always" || word == "true";
      return Read() ? std::move(constant) : nullptr;
    }
    if (word == "notarized" || word == "legacy") {
      return Read() ? MakeNode(word == "notarized" ? Node::Kind::kNotarized : Node::Kind::kLegacy)
                    : nullptr;
    }
    static constexpr std::string_view kLeadingWords[] = {
        "anchor", "certificate", "cert", "info", "entitlement", "identifier", "cdhash", "platform"};
    if (std::find(std::begin(kLeadingWords), std::end(kLeadingWords), word) ==
        std::end(kLeadingWords)) {
      return Unexpected();
    }
    if (!Read()) return nullptr;
    if (word == "anchor") return Anchor();
    if (word == "certificate" || word == "cert") return Certificate();
    if (word == "info" || word == "entitlement") {
      std::unique_ptr<Node> node =
          MakeNode(word == "info" ? Node::Kind::kInfo : Node::Kind::kEntitlement);
      if (!Key(&node->key, false) || !MatchOf(&node->match)) return nullptr;
      return node;
    }
    if (word == "identifier") {
      std::unique_ptr<Node> node = MakeNode(Node::Kind::kIdentifier);
      if (!Skip(IsPunctuation("==") ? "==" : "=") || !Value(&node->value)) return nullptr;
      return node;
    }
    if (word == "cdhash") {
      std::unique_ptr<Node> node = MakeNode(Node::Kind::kCodeDirectoryHash);
      if (!Skip("=") || !Hash(&node->hash)) return nullptr;
      return node;
    }
    // "platform", the last of the leading words.
    std::unique_ptr<Node> node = MakeNode(Node::Kind::kPlatform);
    if (!Skip("=")) return nullptr;
    if (token_.kind != Token::Kind::kInteger) return Unexpected();
    const auto [end, failure] =
        std::from_chars(token_.text.data(), token_.text.data() + token_.text.size(), node->number);
    if (failure != std::errc()) return Fail("platform out of range: " + token_.text);
    return Read() ? std::move(node) : nullptr;
  }

  // After "anchor".
  std::unique_ptr<Node> Anchor() {
    if (IsWord("apple")) {
      if (!Read()) return nullptr;
      if (!IsWord("generic")) return MakeNode(Node::Kind::kAppleAnchor);
      return Read() ? MakeNode(Node::Kind::kAppleGenericAnchor) : nullptr;
    }
    if (IsWord("generic")) {
      if (!Read()) return nullptr;
      if (!IsWord("apple")) return Unexpected();
      return Read() ? MakeNode(Node::Kind::kAppleGenericAnchor) : nullptr;
    }
    if (IsWord("trusted")) return Read() ? MakeNode(Node::Kind::kAnyCertificateTrusted) : nullptr;
    return CertificateTest(-1);
  }

  // After "certificate" or "cert".
  std::unique_ptr<Node> Certificate() {
    if (IsWord("trusted")) return Read() ? MakeNode(Node::Kind::kAnyCertificateTrusted) : nullptr;
    int slot = 0;
    if (IsWord("leaf") || IsWord("root")) {
      slot = IsWord("leaf") ? 0 : -1;
    } else {
      const bool negative = IsPunctuation("-");
      if (negative && !Read()) return nullptr;
      if (token_.kind != Token::Kind::kInteger) return Unexpected();
      const auto [end, failure] =
          std::from_chars(token_.text.data(), token_.text.data() + token_.text.size(), slot);
      if (failure != std::errc() || (negative && slot == 0)) {
        return Fail("invalid certificate slot: " + token_.text);
      }
      if (negative) slot = -slot;
    }
    if (!Read()) return nullptr;
    if (IsWord("trusted")) {
      std::unique_ptr<Node> node = MakeNode(Node::Kind::kCertificateTrusted);
      node->slot = slot;
      return Read() ? std::move(node) : nullptr;
    }
    return CertificateTest(slot);
  }

  // "[" key "]" match, or "=" hash, of the certificate in `slot`.
  std::unique_ptr<Node> CertificateTest(int slot) {
    if (IsPunctuation("=")) {
      std::unique_ptr<Node> node = MakeNode(Node::Kind::kCertificateHash);
      node->slot = slot;
      if (!Read() || !Hash(&node->hash)) return nullptr;
      return node;
    }
    std::unique_ptr<Node> node = MakeNode(Node::Kind::kCertificateField);
    node->slot = slot;
    if (!Key(&node->key, true) || !MatchOf(&node->match)) return nullptr;
    return node;
  }

  static bool IsCertificateKey(std::string_view key) {
    static constexpr std::string_view kSubjectNames[] = {
        "C", "CN", "D", "L", "O", "C-O", "OU", "C-OU", "ST", "C-ST", "STREET", "C-STREET", "UID"};
    if (key == "email") return true;
    if (key.starts_with("subject.")) {
      return std::find(std::begin(kSubjectNames), std::end(kSubjectNames), key.substr(8)) !=
             std::end(kSubjectNames);
    }
    for (std::string_view prefix : {"field.", "extension.", "policy.", "timestamp."}) {
      if (key.starts_with(prefix) && key.size() > prefix.size()) return true;
    }
    return false;
  }

  // "[" key "]", the key a quoted string or a bare word; of a certificate, one it can have.
  bool Key(std::string* key, bool of_certificate) {
    if (!IsPunctuation("[") || !Read()) return FailedUnexpected();
    if (token_.kind != Token::Kind::kWord && token_.kind != Token::Kind::kString) {
      return FailedUnexpected();
    }
    if (of_certificate && !IsCertificateKey(token_.text)) {
      return Failed("unknown certificate key: " + token_.text);
    }
    *key = token_.text;
    if (!Read() || !IsPunctuation("]")) return FailedUnexpected();
    return Read();
  }

  bool Value(std::string* value) {
    if (token_.kind != Token::Kind::kWord && token_.kind != Token::Kind::kString &&
        token_.kind != Token::Kind::kInteger) {
      return FailedUnexpected();
    }
    *value = token_.text;
    return Read();
  }

  bool Hash(CodeDirectoryHash* hash) {
    if (token_.kind != Token::Kind::kHash) return FailedUnexpected();
    const std::string& hex = token_.text;
    bool valid = hex.size() == 2 * hash->size();
    for (size_t i = 0; valid && i < hash->size(); ++i) {
      const char* digits = hex.data() + 2 * i;
      const auto [end, failure] = std::from_chars(digits, digits + 2, (*hash)[i], 16);
      valid = failure == std::errc() && end == digits + 2;
    }
    if (!valid) return Failed("a hash is 40 hex digits: " + hex);
    return Read();
  }

  // What follows a key; nothing at all means "exists".
  bool MatchOf(Match* match) {
    using Operation = Match::Operation;
    if (IsWord("exists") || IsWord("absent")) {
      match->operation = IsWord("exists") ? Operation::kExists : Operation::kAbsent;
      return Read();
    }
    if (IsPunctuation("=") || IsPunctuation("==")) {
      if (!Read()) return false;
      const bool leading = IsPunctuation("*");
      if (leading && !Read()) return false;
      if (!Value(&match->value)) return false;
      const bool trailing = IsPunctuation("*");
      if (trailing && !Read()) return false;
      match->operation = leading && trailing ? Operation::kContains
                         : leading           ? Operation::kEndsWith
                         : trailing          ? Operation::kBeginsWith
                                             : Operation::kEqual;
      return true;
    }
    static constexpr std::pair<std::string_view, Operation> kComparisons[] = {
        {"~", Operation::kContains},        {"<", Operation::kLess},
        {">", Operation::kGreater},         {"<=", Operation::kLessOrEqual},
        {">=", Operation::kGreaterOrEqual},
    };
    for (const auto& [mark, operation] : kComparisons) {
      if (IsPunctuation(mark)) {
        match->operation = operation;
        return Read() && Value(&match->value);
      }
    }
    match->operation = Operation::kExists;
    return true;
  }

  Lexer lexer_;
  std::string* error_;
  Token token_;
  int operands_ = 0;
};

// Compares as numbers when both sides are whole numbers, else as text.
int Compare(const std::string& left, const std::string& right) {
  long long a = 0;
  long long b = 0;
  const auto [a_end, a_failure] = std::from_chars(left.data(), left.data() + left.size(), a);
  const auto [b_end, b_failure] = std::from_chars(right.data(), right.data() + right.size(), b);
  if (a_failure == std::errc() && b_failure == std::errc() && a_end == left.data() + left.size() &&
      b_end == right.data() + right.size()) {
    return a < b ? -1 : a > b ? 1 : 0;
  }
  return left.compare(right);
}

bool Matches(const Match& match, const std::optional<std::string>& value) {
  using Operation = Match::Operation;
  if (match.operation == Operation::kAbsent) return !value.has_value();
  if (!value) return false;
  switch (match.operation) {
    case Operation::kExists:
      return true;
    case Operation::kEqual:
      return *value == match.value;
    case Operation::kBeginsWith:
      return value->starts_with(match.value);
    case Operation::kEndsWith:
      return value->ends_with(match.value);
    case Operation::kContains:
      return value->find(match.value) != std::string::npos;
    case Operation::kLess:
      return Compare(*value, match.value) < 0;
    case Operation::kGreater:
      return Compare(*value, match.value) > 0;
    case Operation::kLessOrEqual:
      return Compare(*value, match.value) <= 0;
    case Operation::kGreaterOrEqual:
      return Compare(*value, match.value) >= 0;
    case Operation::kAbsent:
      break;
  }
  return false;
}

std::optional<std::string> Lookup(const std::map<std::string, std::string>& values,
                                  const std::string& key) {
  const auto found = values.find(key);
  if (found == values.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> CertificateValue(const CertificateFacts& certificate,
                                            const std::string& key) {
  if (key == "email") {
    if (certificate.email.empty()) return std::nullopt;
    return certificate.email;
  }
  const size_t dot = key.find('.');
  const std::string kind = key.substr(0, dot);
  const std::string name = key.substr(dot + 1);
  if (kind == "subject") return Lookup(certificate.subject, name);
  if (kind == "policy") {
    if (std::find(certificate.policies.begin(), certificate.policies.end(), name) ==
        certificate.policies.end()) {
      return std::nullopt;
    }
    return name;
  }
  if (kind == "field" || kind == "extension") return Lookup(certificate.fields, name);
  return std::nullopt;  // the simulated certificates carry no timestamps
}

// The certificate in `slot` (0 the leaf, 1 its issuer, …; -1 the anchor, -2 below it, …).
const CertificateFacts* CertificateInSlot(const CodeFacts& code, int slot) {
  const auto count = static_cast<long>(code.chain.size());
  const long index = slot >= 0 ? slot : count + slot;
  if (index < 0 || index >= count) return nullptr;
  return &code.chain[static_cast<size_t>(index)];
}

bool Evaluate(const Node& node, const CodeFacts& code) {
  switch (node.kind) {
    case Node::Kind::kConstant:
      return node.constant;
    case Node::Kind::kAnd:
      return Evaluate(*node.operands[0], code) && Evaluate(*node.operands[1], code);
    case Node::Kind::kOr:
      return Evaluate(*node.operands[0], code) || Evaluate(*node.operands[1], code);
    case Node::Kind::kNot:
      return !Evaluate(*node.operands[0], code);
    case Node::Kind::kAppleAnchor:
      return code.apple_own_code;
    case Node::Kind::kAppleGenericAnchor:
      return code.apple_anchored && !code.chain.empty();
    case Node::Kind::kAnyCertificateTrusted:
      return std::any_of(code.chain.begin(), code.chain.end(),
                         [](const CertificateFacts& certificate) { return certificate.trusted; });
    case Node::Kind::kCertificateTrusted: {
      const CertificateFacts* certificate = CertificateInSlot(code, node.slot);
      return certificate != nullptr && certificate->trusted;
    }
    case Node::Kind::kCertificateField: {
      const CertificateFacts* certificate = CertificateInSlot(code, node.slot);
      return certificate != nullptr &&
             Matches(node.match, CertificateValue(*certificate, node.key));
    }
    case Node::Kind::kCertificateHash: {
      const CertificateFacts* certificate = CertificateInSlot(code, node.slot);
      return certificate != nullptr && certificate->hash == node.hash;
    }
    case Node::Kind::kInfo:
      return Matches(node.match, Lookup(code.info, node.key));
    case Node::Kind::kEntitlement:
      return Matches(node.match, Lookup(code.entitlements, node.key));
    case Node::Kind::kIdentifier:
      return code.identifier == node.value;
    case Node::Kind::kCodeDirectoryHash:
      return code.code_directory_hash == node.hash;
    case Node::Kind::kPlatform:
      return code.platform == node.number;
    case Node::Kind::kNotarized:
      return code.notarized;
    case Node::Kind::kLegacy:
      return false;  // no code of the simulated Mac is signed in the legacy format
  }
  return false;
}

}  // namespace

std::optional<CodeRequirement> CodeRequirement::Parse(std::string_view text, std::string* error) {
  std::string message;
  std::unique_ptr<Node> root = Parser(text, &message).ParseAll();
  if (root == nullptr) {
    if (error != nullptr) *error = message;
    return std::nullopt;
  }
  return CodeRequirement(std::move(root));
}

bool CodeRequirement::IsSatisfiedBy(const CodeFacts& code) const { return Evaluate(*root_, code); }

CodeRequirement::CodeRequirement(std::unique_ptr<Node> root) : root_(std::move(root)) {}
CodeRequirement::CodeRequirement(CodeRequirement&&) noexcept = default;
CodeRequirement& CodeRequirement::operator=(CodeRequirement&&) noexcept = default;
CodeRequirement::~CodeRequirement() = default;

}  // namespace platform
